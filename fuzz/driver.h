// Shared by the fuzz drivers: each one turns a fuzz input into the files and arguments of
// one real run of a program, in a scratch directory of its own, and calls the program's main.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <dirent.h>
#include <unistd.h>

static std::string readWholeFile(const char* path)
{
    std::string data;
    if (FILE* file = std::fopen(path, "rb")) {
        char chunk[65536];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            data.append(chunk, got);
        }
        std::fclose(file);
    }
    return data;
}

// Enters the scratch directory and empties it of what the run before left.
static void enterEmptyScratch(const char* dir)
{
    if (chdir(dir) != 0) {
        std::perror(dir);
        _exit(2);
    }
    if (DIR* listing = opendir(".")) {
        while (const dirent* entry = readdir(listing)) {
            const std::string name = entry->d_name;
            if (name != "." && name != ".." && unlink(name.c_str()) != 0) {
                rmdir(name.c_str());
            }
        }
        closedir(listing);
    }
}

static void writeWholeFile(const std::string& path, const std::string& data)
{
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data.data(), 1, data.size(), file);
        std::fclose(file);
    }
}

// A program name and up to seven arguments, one a line of the input, each cut at 240
// characters; '/' and NUL become '_', which keeps every path a run opens inside the scratch
// directory.
inline std::vector<std::string> argumentsFromLines(const char* program, const std::string& input)
{
    std::vector<std::string> args = {program};
    size_t from = 0;
    while (from <= input.size() && args.size() < 8) {
        size_t to = input.find('\n', from);
        to = to == std::string::npos ? input.size() : to;
        std::string arg = input.substr(from, std::min<size_t>(to - from, 240));
        std::replace(arg.begin(), arg.end(), '/', '_');
        std::replace(arg.begin(), arg.end(), '\0', '_');
        args.push_back(arg);
        from = to + 1;
    }
    return args;
}

// Runs `programMain` with these arguments, as the shell would start the program.
template <typename Main> static int runProgram(Main programMain, const std::vector<std::string>& args)
{
    std::vector<char*> argv(args.size() + 1, nullptr);
    std::transform(args.begin(), args.end(), argv.begin(),
                   [](const std::string& arg) { return const_cast<char*>(arg.c_str()); });
    return programMain(static_cast<int>(args.size()), argv.data());
}
