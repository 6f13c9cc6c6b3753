// mp_logfile.cpp - the log file: opening with its size rule, the banners, closing, size probe.
#include <climits>
#include <cstdio>
#include <cstring>

#include "mp_log.h"
#include "mp_log_stream.h"
#include "vp.h"

FILE* MP_log_stream = nullptr;

namespace {
constexpr char rule_line[] =
    "*********************************************************************\n";
// The plug-in lines: 48 and 60 characters with their line ends.
constexpr char open_line[] = "Vistrel display plug-in, the Vistrel team, 2015\n";
constexpr char close_line[] = "Vistrel display plug-in bridges by the Vistrel team, 3/2015\n";
static_assert(sizeof rule_line - 1 == 70, "69 asterisks and a line end");
static_assert(sizeof open_line - 1 == 48, "the opening plug-in line is 48 characters");
static_assert(sizeof close_line - 1 == 60, "the closing plug-in line is 60 characters");

// The refusal last told on the console, so that the retries of a refused log stay quiet.
int last_refusal = 0;

constexpr char day_names[] = "SunMonTueWedThuFriSat";
constexpr char month_names[] = "JanFebMarAprMayJunJulAugSepOctNovDec";

// The local date and time as strftime's "%d/%m/%y %H:%M:%S" gives it, for the banners.
void banner_time(char* out, size_t size) {
    time_t now;
    unsigned short ms;
    vp_time_now(&now, &ms);
    struct tm tm;
    if (vp_localtime(now, &tm) != 0) {
        out[0] = '\0';
        return;
    }
    snprintf(out, size, "%02d/%02d/%02d %02d:%02d:%02d", tm.tm_mday, tm.tm_mon + 1,
             (tm.tm_year + 1900) % 100, tm.tm_hour, tm.tm_min, tm.tm_sec);
}
}  // namespace

const char* MP_libcommon_version() { return "libcommon.a version 1.0"; }

int MP_asctime_text(const struct tm* tm, char* out) {
    int year = tm->tm_year + 1900;
    if (tm->tm_wday < 0 || tm->tm_wday > 6 || tm->tm_mon < 0 || tm->tm_mon > 11 ||
        tm->tm_mday < 1 || tm->tm_mday > 31 || tm->tm_hour < 0 || tm->tm_hour > 23 ||
        tm->tm_min < 0 || tm->tm_min > 59 || tm->tm_sec < 0 || tm->tm_sec > 60 || year < 1000 ||
        year > 9999) {
        out[0] = '\0';
        return -1;
    }
    // "%.3s %.3s%3d %.2d:%.2d:%.2d %d", composed by hand: the tag table converts every JSON
    // date through here, and printf costs more than the whole rest of the conversion.
    memcpy(out, day_names + 3 * tm->tm_wday, 3);
    out[3] = ' ';
    memcpy(out + 4, month_names + 3 * tm->tm_mon, 3);
    out[7] = ' ';
    out[8] = tm->tm_mday < 10 ? ' ' : static_cast<char>('0' + tm->tm_mday / 10);
    out[9] = static_cast<char>('0' + tm->tm_mday % 10);
    out[10] = ' ';
    MP_put_two_digits(out + 11, tm->tm_hour);
    out[13] = ':';
    MP_put_two_digits(out + 14, tm->tm_min);
    out[16] = ':';
    MP_put_two_digits(out + 17, tm->tm_sec);
    out[19] = ' ';
    MP_put_two_digits(out + 20, year / 100);
    MP_put_two_digits(out + 22, year % 100);
    out[24] = '\0';
    return 0;
}

int MP_log_file_size(const char* path) {
    long long size = 0;
    time_t mtime = 0;
    int rc = vp_file_stat(path, &size, &mtime);
    if (rc == -1) return -1;
    if (rc != 0) {
        // Without a size the caller appends, which never throws away an existing log.
        puts("Bad file handle");
        return -1;
    }
    printf("File size     : %lld\n", size);
    char when[32];
    struct tm tm;
    if (vp_localtime(mtime, &tm) != 0 || MP_asctime_text(&tm, when) != 0) when[0] = '\0';
    printf("Time modified : %s\n", when);
    // A size beyond the int range still reads as "too large", never as a negative size.
    return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

int MP_open_log() {
    MP_TRACE("MP_open_log");
    char when[64];
    banner_time(when, sizeof when);

    // A second open would otherwise leave the first stream behind, never closed.
    if (MP_log_stream) {
        fclose(MP_log_stream);
        MP_log_stream = nullptr;
    }
    int size = MP_log_file_size(MP_Global_LogPath);
    // At debug level 3 the log holds the Basic credentials, so only its owner may read it; and
    // what stands at its path may have been put there by someone else (a link to another file,
    // a FIFO, a file of another user), which is then neither written nor waited on.
    int rc = vp_file_open_private(MP_Global_LogPath, size > MP_LOG_RESTART_SIZE, &MP_log_stream);
    if (rc != 0) {
        if (rc > 0) {
            last_refusal = 0;
            fputs("Failed to open log file", stdout);
        } else if (rc != last_refusal) {
            // Every later error line tries the open again; the reason is told once.
            last_refusal = rc;
            char why[256];
            vp_open_error_text(rc, why, sizeof why);
            printf("Failed to open log file %s: %s; running without a log\n", MP_Global_LogPath, why);
        }
        fflush(stdout);
        return 0;
    }
    last_refusal = 0;

    fputs(rule_line, MP_log_stream);
    fputs(open_line, MP_log_stream);
    fprintf(MP_log_stream, "%s version %s\n", MP_Global_Title, MP_Global_Version);
    fprintf(MP_log_stream, "libcommon version %s\n", MP_libcommon_version());
    fprintf(MP_log_stream, "Log file Opened at %s\n", when);
    fputs(rule_line, MP_log_stream);
    fflush(MP_log_stream);

    MP_log("Log file Opened at", when);
    return 1;
}

int MP_close_log() {
    MP_TRACE("MP_close_log");
    if (!MP_log_stream) return 0;
    char when[64];
    banner_time(when, sizeof when);

    fputs(rule_line, MP_log_stream);
    fputs(close_line, MP_log_stream);
    fprintf(MP_log_stream, "%s version %s\n", MP_Global_Title, MP_Global_Version);
    fprintf(MP_log_stream, "Log file Closed at %s\n", when);
    fputs(rule_line, MP_log_stream);
    fflush(MP_log_stream);
    int rc = fclose(MP_log_stream);
    MP_log_stream = nullptr;
    return rc;
}
