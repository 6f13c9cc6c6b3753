// mp_encoding.h - the text encoding of the tags: the Text_Encoding= setting, received text
// cleaned of multi-byte characters, and text values converted as the flattener stores them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mp_encoding_names.h"
#include "mp_log.h"

// The encoding in force (MP_TextEncoding), Raw until a settings reader sets another.
extern int MP_Global_TextEncoding;
// Whether texts are converted: any encoding but Raw.
inline bool MP_text_readable() { return MP_Global_TextEncoding != MP_TEXT_RAW; }

// Reads the value of a Text_Encoding= line: its first word names the encoding, in any case.
// Anything else, an empty value included, gets an error line under label that names key and
// the value, and Raw is in force. Returns the encoding now in force.
int MP_text_encoding_setting(const char* label, const char* value, const char* key);

// ---------------------------------------------------------------------------------------------
// Cleaning. A multi-byte character of received text is a lead byte (0xC0 and above) and the
// continuation bytes (0x80 to 0xBF) that follow it, as many as its lead byte announces at most.
// Cleaning makes each such sequence one byte, so that the flattener finds the same members in
// every encoding: in Raw a blank, in the readable encodings a token, a byte of 0xC0 or above
// (no other such byte remains in a cleaned text), whose character is kept in a side array of
// code points at the token's position. A continuation byte without a lead byte stays as it is.
// The flattener treats a token as it treats a blank: neither is a character it looks for.

using MP_TextPoint = uint32_t;
// The character of a sequence that stands for none: an over-long form, a surrogate, a value
// beyond U+10FFFF, a 5- or 6-byte form, or a sequence cut short.
inline constexpr MP_TextPoint MP_TEXT_INVALID = 0xFFFFFFFFu;
// The token that cleaning writes.
inline constexpr char MP_TEXT_TOKEN = static_cast<char>(0xFF);
inline bool MP_text_is_token(char c) { return static_cast<unsigned char>(c) >= 0xC0; }

// Cleans bytes [from, len) of text in place. points is the text's side array (an entry for
// every byte of text); Raw never touches it, and a null one cleans as Raw does. Returns the
// length of the text after cleaning: its first `from` bytes as they were, then the cleaned
// bytes. When last is false and the piece ends inside a sequence, that sequence is left
// uncleaned right behind the cleaned text, *held bytes of it (up to 5), so that it is cleaned
// with the bytes that follow it: the next call cleans [returned length, that length + *held +
// the new bytes). With last true a sequence cut by the end is one token of its own (an invalid
// character) or one blank, and *held is 0. Cleaning a text in any pieces gives the same text
// and code points as cleaning it whole. Nothing is written behind the returned length's bytes
// and the held ones; the caller terminates the text when it needs a zero.
int MP_text_clean(char* text, MP_TextPoint* points, int from, int len, bool last, int* held);

// Cleaned text moved with its code points. Drops the first k of len bytes of a text (a window
// that slides on), and copies n bytes of a text with their code points elsewhere. The code
// points move only in the readable encodings.
void MP_text_drop(char* text, MP_TextPoint* points, int len, int k);
void MP_text_copy(char* dest, MP_TextPoint* dest_points, const char* src, const MP_TextPoint* src_points, int n);

// The text that the flattener is about to run on, named with its code points and its length:
// the tokens of a value or name inside it are read from its side array. A text that is not
// named (a channel answer, which is not cleaned) holds raw UTF-8, which the conversion decodes
// itself. Naming with a null text forgets the text.
void MP_text_name(const char* text, const MP_TextPoint* points, int len);
// Names a text for the life of a scope, and names again what was named before it at its end.
class MP_TextNamed {
public:
    MP_TextNamed(const char* text, const MP_TextPoint* points, int len);
    ~MP_TextNamed();
    MP_TextNamed(const MP_TextNamed&) = delete;
    MP_TextNamed& operator=(const MP_TextNamed&) = delete;

private:
    const char* text_;
    const MP_TextPoint* points_;
    int len_;
};

// ---------------------------------------------------------------------------------------------
// What the flattener stores, in the readable encodings. src is n bytes of a named text (or of a
// raw one) as the flattener sees them.

// The longest converted text: the tag table keeps up to 256 bytes whole.
inline constexpr int MP_TEXT_CONVERTED_MAX = 256;
// Part of a tag name: n bytes with a blank for every token of the named text, the names of Raw.
// Inline, since every member of every object comes this way.
void MP_text_blank_tokens(char* dest, const char* src, int n);
inline void MP_text_copy_name(char* dest, const char* src, int n) {
    if (n <= 0) return;
    MP_copy_bytes(dest, src, static_cast<size_t>(n));
    if (MP_text_readable()) MP_text_blank_tokens(dest, src, n);
}
// Whether a value has the JSON date form, "\/Date(" at its start: it is stored as it stands, and
// the tag table makes a date of it.
bool MP_text_is_date(const char* src, int n);
// A string value into out (MP_TEXT_CONVERTED_MAX + 1 bytes): the JSON escapes \" \\ \/ and
// \uXXXX (with surrogate pairs) undone; \b \f \n \r \t and every other control character one
// blank; each character written in the encoding; an invalid one (a stray continuation byte, a
// lone surrogate, an escape \u without its four hex digits, an invalid sequence) as '?'; a
// backslash before any other character kept with it. Cut before the first character that would
// take the text past 256 bytes. Returns its length.
int MP_text_convert(char* out, const char* src, int n);
// An array's text stored whole into out (as above): it stays JSON, so its escapes stay as they
// arrived, whole, while its characters beyond ASCII are written in the encoding and its control
// bytes as blanks; cut before the first escape or character that would not fit whole.
int MP_text_convert_array(char* out, const char* src, int n);

// ---------------------------------------------------------------------------------------------
// Characters.

// Writes one character in the encoding into out, room bytes at most: a control character (C0,
// DEL, C1) as one blank; in Windows-1252 its byte, else the letters it stands for
// (MP_text_equivalent), its plain-letter form or '?'; in ASCII the letters it stands for, its
// plain-letter form or '?'; in UTF-8 itself. MP_TEXT_INVALID is '?'. Returns the bytes written,
// 0 when the character does not fit whole.
int MP_text_put_char(int encoding, uint32_t cp, char* out, int room);
// The letters of ISO-8859-1 that a character stands for: its canonical equivalent (U+212B, the
// Angstrom sign, is A with its ring; U+037E is ';'), or the plain form of a compatibility form
// (fullwidth letters, superscripts, circled and mathematical letters and digits, vulgar
// fractions as "1/7"). Writes up to 4 into out and returns their number; 0 when it has none.
int MP_text_equivalent(uint32_t cp, uint32_t out[4]);
// Whether a character is a combining mark, which changes the letter before it.
bool MP_text_is_mark(uint32_t cp);
// The one letter of ISO-8859-1 or Windows-1252 that a letter and a combining mark make ('e' and
// U+0301 make U+00E9, 'S' and U+030C U+0160), or 0 when they make none of those.
uint32_t MP_text_compose(uint32_t base, uint32_t mark);
// The plain-letter form (ASCII, 1 to 4 characters, not terminated) of a character beyond ASCII,
// with its length, or null when it has none.
const char* MP_text_plain_form(uint32_t cp, int* len);
// The Windows-1252 byte of a character, or 0 when Windows-1252 has none for it.
unsigned char MP_text_cp1252_byte(uint32_t cp);

// ---------------------------------------------------------------------------------------------
// Credentials.

// Registers a credential with the log (MP_log_add_secret) as it is sent, and as it reads in
// what a service sends back once the receive has cleaned it: each multi-byte character a blank
// in Raw (remove_utf8), a token in the readable encodings. Call it with the encoding of the
// settings in force. Returns 0, or -1 when a form could not be kept.
int MP_add_credential(const char* text);

// The block marker of the encoding in force: MP_TEXT_MARKER_SIZE bytes, zero-filled.
void MP_text_marker(char* out);
