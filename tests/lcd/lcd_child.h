// lcd_child.h - test support (POSIX): a program started by a test with a real argument list and
// its output in a file, waited for when it ends, so that its exit status can be read.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

// A child of the test, ended (SIGKILL) with the object when it still runs.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { stop(SIGKILL); }

    bool start(const std::vector<std::string>& args, const std::string& out) {
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) pid_ = -1;
        return pid_ > 0;
    }
    // Whether it has ended, its exit status then kept.
    bool ended() {
        if (pid_ <= 0) return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
        status_ = status;
        pid_ = -1;
        return true;
    }
    void signal(int sig) {
        if (pid_ > 0) kill(pid_, sig);
    }
    // Ends it with the signal and waits for it.
    void stop(int sig = SIGTERM) {
        if (pid_ <= 0) return;
        kill(pid_, sig);
        int status = 0;
        waitpid(pid_, &status, 0);
        status_ = status;
        pid_ = -1;
    }
    int status() const { return status_; }

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

