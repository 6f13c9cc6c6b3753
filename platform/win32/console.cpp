// console.cpp - Win32: the console window: clearing it, its size from the screen buffer, a
// screen written in place, and single keys.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "signals.h"
#include "vp.h"

namespace {
HANDLE output() { return GetStdHandle(STD_OUTPUT_HANDLE); }
HANDLE input() { return GetStdHandle(STD_INPUT_HANDLE); }

bool restore_installed = false;
bool cursor_hidden = false;
CONSOLE_CURSOR_INFO saved_cursor;
bool keys_on = false;
DWORD saved_input_mode = 0;
// The last row of the window as last drawn; the prompt goes below it at the end.
SHORT last_row = -1;

// One screen's characters, every row padded to the buffer's width: written in one call. The
// screen's text is UTF-8, and the console's "A" functions would read its bytes in the console's
// output code page (an OEM page such as 850, seldom UTF-8), so the characters go in as UTF-16
// through the "W" functions.
constexpr size_t kDrawSize = 512 * 1024;
wchar_t cells[kDrawSize];
// A line converted to UTF-16 (a line of the screen has no more characters than bytes).
wchar_t wide_line[8192];

void install_restore() {
    if (restore_installed) return;
    restore_installed = true;
    atexit(vp_console_restore);
    vp_signals_console(vp_console_restore);
}

// The line's characters in UTF-16 into wide_line; returns how many.
size_t widen(const char* line, size_t line_len) {
    if (line_len == 0) return 0;
    if (line_len > sizeof wide_line / sizeof wide_line[0]) line_len = sizeof wide_line / sizeof wide_line[0];
    int n = MultiByteToWideChar(CP_UTF8, 0, line, static_cast<int>(line_len), wide_line,
                                static_cast<int>(sizeof wide_line / sizeof wide_line[0]));
    return n > 0 ? static_cast<size_t>(n) : 0;
}

// Copies the line's characters into the row of width cells, blanks after them.
void fill_row(wchar_t* row, SHORT width, const char* line, size_t line_len) {
    size_t chars = widen(line, line_len);
    size_t n = chars < static_cast<size_t>(width) ? chars : static_cast<size_t>(width);
    for (size_t i = 0; i < n; i++) row[i] = wide_line[i];
    for (size_t i = n; i < static_cast<size_t>(width); i++) row[i] = L' ';
}
}  // namespace

void vp_clear_screen() {
    // The console has no escape sequences to rely on everywhere; "cls" clears it on any version.
    int rc = system("cls");
    (void)rc;
}

void vp_console_write(const char* text, size_t len) {
    HANDLE out = output();
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode)) {
        // A file or a pipe takes the UTF-8 bytes as they are.
        fwrite(text, 1, len, stdout);
        return;
    }
    fflush(stdout);
    size_t at = 0;
    while (at < len) {
        // Pieces that end before a lead byte, so that no character is parted.
        size_t n = len - at;
        if (n > 4096) {
            n = 4096;
            while (n > 1 && (static_cast<unsigned char>(text[at + n]) & 0xC0) == 0x80) n--;
        }
        size_t chars = widen(text + at, n);
        DWORD written = 0;
        if (chars > 0) WriteConsoleW(out, wide_line, static_cast<DWORD>(chars), &written, nullptr);
        at += n;
    }
}

void vp_console_show(const char* text, size_t len) {
    fflush(stdout);
    vp_clear_screen();
    vp_console_write(text, len);
    fflush(stdout);
}

int vp_console_size(int* rows, int* cols) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(output(), &info)) return -1;
    int r = info.srWindow.Bottom - info.srWindow.Top + 1;
    int c = info.srWindow.Right - info.srWindow.Left + 1;
    if (r <= 0 || c <= 0) return -1;
    *rows = r;
    *cols = c;
    return 0;
}

void vp_console_draw(const char* text, size_t len) {
    HANDLE out = output();
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(out, &info) || info.dwSize.X <= 0) {
        fwrite(text, 1, len, stdout);
        fflush(stdout);
        return;
    }
    fflush(stdout);
    install_restore();
    if (!cursor_hidden && GetConsoleCursorInfo(out, &saved_cursor)) {
        CONSOLE_CURSOR_INFO hidden = saved_cursor;
        hidden.bVisible = FALSE;
        SetConsoleCursorInfo(out, &hidden);
        cursor_hidden = true;
    }
    const SHORT width = info.dwSize.X;
    const SHORT top = info.srWindow.Top;
    const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    last_row = info.srWindow.Bottom;
    // The characters are written over the window's rows in place: nothing is cleared between
    // two screens, so nothing flickers. Each row is padded to the buffer's width, over what an
    // earlier screen left there.
    bool whole = static_cast<size_t>(rows) * static_cast<size_t>(width) <= kDrawSize;
    size_t at = 0;
    for (int r = 0; r < rows; r++) {
        const char* line = text + at;
        size_t line_len = 0;
        if (at < len) {
            const void* nl = memchr(line, '\n', len - at);
            line_len = nl ? static_cast<size_t>(static_cast<const char*>(nl) - line) : len - at;
            at += line_len + (nl ? 1 : 0);
        }
        DWORD written = 0;
        if (whole) {
            fill_row(cells + static_cast<size_t>(r) * static_cast<size_t>(width), width, line, line_len);
        } else {
            fill_row(cells, width, line, line_len);
            COORD where = {0, static_cast<SHORT>(top + r)};
            WriteConsoleOutputCharacterW(out, cells, static_cast<DWORD>(width), where, &written);
        }
    }
    if (whole) {
        DWORD written = 0;
        COORD where = {0, top};
        WriteConsoleOutputCharacterW(out, cells, static_cast<DWORD>(rows) * static_cast<DWORD>(width), where, &written);
    }
}

int vp_console_keys_start() {
    DWORD mode = 0;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleMode(input(), &mode) || !GetConsoleScreenBufferInfo(output(), &info)) return -1;
    saved_input_mode = mode;
    // Size changes arrive as input events; mouse events are not wanted. Ctrl-C stays a signal.
    DWORD keys_mode = (mode | ENABLE_WINDOW_INPUT | ENABLE_PROCESSED_INPUT) & ~static_cast<DWORD>(ENABLE_MOUSE_INPUT);
    if (!SetConsoleMode(input(), keys_mode)) return -1;
    keys_on = true;
    install_restore();
    return 0;
}

int vp_console_wait_key(int ms) {
    if (!keys_on) {
        Sleep(static_cast<DWORD>(ms > 0 ? ms : 0));
        return VP_KEY_NONE;
    }
    HANDLE in = input();
    ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms > 0 ? ms : 0);
    for (;;) {
        ULONGLONG now = GetTickCount64();
        DWORD left = now >= end ? 0 : static_cast<DWORD>(end - now);
        DWORD waited = WaitForSingleObject(in, left);
        if (waited == WAIT_TIMEOUT) return VP_KEY_NONE;
        INPUT_RECORD record;
        DWORD count = 0;
        if (waited != WAIT_OBJECT_0 || !ReadConsoleInputA(in, &record, 1, &count)) {
            keys_on = false;
            return VP_KEY_CLOSED;
        }
        if (count == 0) continue;
        if (record.EventType == WINDOW_BUFFER_SIZE_EVENT) return VP_KEY_RESIZE;
        if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) continue;
        switch (record.Event.KeyEvent.wVirtualKeyCode) {
            case VK_UP: return VP_KEY_UP;
            case VK_DOWN: return VP_KEY_DOWN;
            case VK_PRIOR: return VP_KEY_PAGE_UP;
            case VK_NEXT: return VP_KEY_PAGE_DOWN;
            case VK_HOME: return VP_KEY_HOME;
            case VK_END: return VP_KEY_END;
            default: break;
        }
        int c = static_cast<unsigned char>(record.Event.KeyEvent.uChar.AsciiChar);
        if (c != 0) return c;
    }
}

void vp_console_restore() {
    if (keys_on) {
        SetConsoleMode(input(), saved_input_mode);
        keys_on = false;
    }
    if (cursor_hidden) {
        HANDLE out = output();
        SetConsoleCursorInfo(out, &saved_cursor);
        cursor_hidden = false;
        // The prompt comes below the last screen.
        if (last_row >= 0) {
            COORD below = {0, last_row};
            SetConsoleCursorPosition(out, below);
            DWORD written = 0;
            WriteConsoleA(out, "\r\n", 2, &written, nullptr);
        }
    }
}
