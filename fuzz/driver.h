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

// Runs `programMain` with these arguments, as the shell would start the program.
template <typename Main> static int runProgram(Main programMain, const std::vector<std::string>& args)
{
    std::vector<char*> argv(args.size() + 1, nullptr);
    std::transform(args.begin(), args.end(), argv.begin(),
                   [](const std::string& arg) { return const_cast<char*>(arg.c_str()); });
    return programMain(static_cast<int>(args.size()), argv.data());
}
