#pragma once
// The program's version as the About box shows it. An ELF file carries no version record, so
// the record is the project version compiled into this program: only the running program's
// own file has one.

#include <string>

// "%d.%d.%d" (major, minor, release) when path names the running program's file, empty for
// any other file and when the running program cannot be located.
std::string FileVersionText(const std::string& path);

// The path of the running program's file; empty when it cannot be found.
std::string RunningProgramPath();

// "Veskaro V" + version + "\n\rDICOM SCU for many services": LF before CR, as the text has
// always been written.
std::string AboutText(const std::string& version);
