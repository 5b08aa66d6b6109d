#pragma once

#include <QString>

#include <string>
#include <string_view>

// Text is bytes everywhere but on the screen. Bytes that are valid UTF-8 show
// as UTF-8; anything else shows as Windows-1252, so text from a copy on a
// Windows machine keeps its accented letters. The choice is made line by line,
// so a record that mixes messages from both kinds of peer shows each readably.

// Every byte, NUL and line breaks included, as it is.
QString DecodeForScreen(std::string_view Bytes);

// For message boxes and labels: the text up to its first NUL, with CR LF, lone
// CR and lone LF all turned into '\n' (a box shows a single CR as a new line).
QString DecodeForBox(std::string_view Bytes);

// For window titles and other single-line places: as DecodeForBox, with every
// line break and other control character shown as a blank.
QString DecodeForLine(std::string_view Bytes);

// Valid UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
bool IsValidUtf8(std::string_view Bytes);

// The bytes at the end of Bytes that begin a UTF-8 character whose other
// bytes are still to come, when the line they end is otherwise valid UTF-8:
// only then can waiting for the rest change what is shown. 0 otherwise.
std::size_t PartialUtf8Tail(std::string_view Bytes);

// Windows-1252 to Unicode for every byte. The five bytes the code page leaves
// undefined map to the C1 controls of the same value, as Windows does, so no
// byte is ever lost.
QString DecodeWindows1252(std::string_view Bytes);

// The text up to its first NUL (all of it when there is none).
std::string_view UpToNul(std::string_view Bytes);

// What the user typed, as bytes in the locale's encoding (UTF-8 on current
// systems). Characters the locale cannot hold become '?'.
std::string EncodeTyped(const QString& Text);
