#pragma once

#include <QSettings>

// The format of a settings file named on the command line (--settings FILE): INI read by
// the task file's rules, so that a value means what it says. Blanks at both ends of a value
// are dropped, as is one pair of enclosing quotes, and nothing else is special: ';', ','
// and '"' inside a value are text ("a@x.org; b@y.org" stays two recipients). Section and
// key names match without regard to case; the first of repeated ones wins.
//
// A value that is not text is written in the form Qt's own INI format uses, which the older
// versions of the program read too: "@ByteArray(...)" for bytes (window geometry and
// state), "@Variant(...)" for lists and other types, with backslash escapes inside the
// parentheses only. A text that begins with "@" is written with one more "@" in front; a
// text with a line break or NUL is written as "@Variant(...)", so that every text reads back
// exactly. Numbers and booleans are written as decimal numbers and "true"/"false".
//
// Files written by older versions (Qt's INI format) read as they were meant where it
// matters: they lack the first line this format writes, and in such a file a value whose
// every backslash starts "\\" or "\"" has those escapes undone, and "%XX" in section and
// key names is decoded (Qt wrote "Recent File List" as "Recent%20File%20List").
QSettings::Format SettingsFileFormat();

// The read and write functions of the format, for tests.
bool ReadSettingsFile(QIODevice& device, QSettings::SettingsMap& map);
bool WriteSettingsFile(QIODevice& device, const QSettings::SettingsMap& map);

// The first line of every file this format writes.
QByteArray SettingsFileHeader();
