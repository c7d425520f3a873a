// Messages and numbers as framecmp and tracegen take them: "program: what: why" on standard
// error with status 2, standard output written and checked, decimal numbers read in full.
// Each program defines `programName`.
#pragma once

#include <cstdint>
#include <string>

extern const char programName[];

constexpr int statusTrouble = 2;

// What a run does last when trouble ends it, before its temporary files go: given the
// message said on standard error ("program: what: why"), once. Null for nothing.
using TroubleHook = void (*)(const std::string& message);

void setTroubleHook(TroubleHook hook);

[[noreturn]] void fail(const std::string& what, const std::string& why);

[[noreturn]] void failUsage(const std::string& what, const std::string& why);

[[noreturn]] void failSystem(const std::string& path, const char* action);

// A write failed. A reader that went away (EPIPE: `program ... | head`) ends the run
// quietly, as it ends cmp and cat; anything else is said.
[[noreturn]] void failWriting(const std::string& path);

// Hands text to standard output, stopping the run when it cannot be written.
void say(const std::string& text);

void finishStandardOutput();

// --help and --version: their text is output like any other, and its loss a failure.
[[noreturn]] void printAndExit(const std::string& text);

// A decimal number of digits only, from `low` to `high`, or -1.
int64_t readDecimal(const char* text, int64_t low, int64_t high);
