// other_user.h - test support: objects that another program, or another user, leaves at the
// name of a block (POSIX shared memory; the functions fail on Windows).
#pragma once

#include <functional>
#include <string>

// The account that plays the other user: nobody.
inline constexpr unsigned kOtherUid = 65534;

// Whether this process may act as another user (it runs as root on POSIX; never on Windows).
bool can_act_as_other_user();
// Runs work in a forked child that has dropped to kOtherUid (group and user), with umask 0, as
// an attacker's own program would; returns whether the child got there and work returned true.
bool as_other_user(const std::function<bool()>& work);

// Makes the shared-memory object of a block's name exclusively, as any program could, with the
// mode and size given (the mode is set exactly, whatever the umask) and text at its start.
bool make_raw_block(const std::string& name, unsigned mode, long long size, const std::string& text);
// The first n bytes of that object, read without the checks of a block open; "" when it
// cannot be read.
std::string raw_block_bytes(const std::string& name, size_t n);
// Its mode bits, owner and size; false when it cannot be read.
bool raw_block_stat(const std::string& name, unsigned* mode, unsigned* uid, long long* size);
// Cuts the object down (or grows it) to size bytes.
bool raw_block_resize(const std::string& name, long long size);
