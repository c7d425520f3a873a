// tracegen's run: the files (the raw input, the output written a whole frame at a time, the
// memory of a frame) and the frames run through them.

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/cli.h"
#include "common/frameoutput.h"
#include "tracegen.h"

const char programName[] = "tracegen";

namespace tracegen {
namespace {

constexpr int statusDone = 0;

struct Input {
    const char* path;
    FILE* file;
};

Input openInput(const char* path)
{
    if (std::strcmp(path, "-") == 0) {
        return Input{"standard input", stdin};
    }
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        failSystem(path, "cannot open");
    }
    return Input{path, file};
}

// The output is opened only when it is not the input: opening would truncate it, and
// writing to it (standard output appended to the input) would feed the input without end.
Output openOutput(const char* path, const Input& input)
{
    const bool standard = std::strcmp(path, "-") == 0;
    const char* name = standard ? "standard output" : path;
    struct stat in {};
    struct stat out {};
    const int known = standard ? fstat(STDOUT_FILENO, &out) : stat(path, &out);
    if (input.file != nullptr && fstat(fileno(input.file), &in) == 0 && known == 0 && S_ISREG(out.st_mode) &&
        in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
        fail(name, "is the raw input; not overwritten");
    }
    if (standard) {
        return Output{name, makeFrameOutput(STDOUT_FILENO, false)};
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        failSystem(path, "cannot open");
    }
    return Output{path, makeFrameOutput(fd, true)};
}

void closeOutput(Output& output)
{
    if (!closeFrameOutput(output.frames)) {
        failWriting(output.path);
    }
}

// Reads one whole frame; false at the end of the input. A partial frame at the end is trouble.
bool readFrame(const Input& input, uint8_t* frame, size_t frameSize)
{
    const size_t got = std::fread(frame, 1, frameSize, input.file);
    if (std::ferror(input.file) != 0) {
        failSystem(input.path, "cannot read");
    }
    if (got != 0 && got != frameSize) {
        fail(input.path, "ends with a partial frame of " + std::to_string(got) + " bytes of " +
                             std::to_string(frameSize) + "; the whole frames before it are written");
    }
    return got == frameSize;
}

uint8_t* allocateFrame(size_t frameSize)
{
    // Zeroed: on sizes whose chroma rounds down to nothing (2x1 at 4:2:0), the synthetic
    // picture draws no byte where the frame's last one stands.
    auto* frame = static_cast<uint8_t*>(std::calloc(frameSize, 1));
    if (frame == nullptr) {
        failAllocating(frameSize);
    }
    return frame;
}

} // namespace

void writeOut(Output& output, const void* data, size_t length)
{
    if (!writeFrameBytes(output.frames, data, length)) {
        failWriting(output.path);
    }
}

void failAllocating(size_t bytes)
{
    fail("memory", "cannot allocate " + std::to_string(bytes) + " bytes");
}

int run(int argc, char** argv)
{
    // Failed writes come back as errors: a reader that went away ends the run quietly, and a
    // file-size limit cuts the output back to whole frames like a full disk.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    const Settings settings = readArguments(argc, argv);
    const FrameSizes& sizes = settings.sizes;
    const Input input = settings.rawInput != nullptr ? openInput(settings.rawInput) : Input{nullptr, nullptr};
    // Memory first: a run that cannot have it leaves the output as it was.
    const auto frameSize = static_cast<size_t>(sizes.frameSize);
    // Static, so that a leak checker still finds the frame when a failure in the loop below
    // ends the run.
    static uint8_t* frame = nullptr;
    frame = allocateFrame(frameSize);
    TraceText trace = settings.writeRaw ? TraceText{std::string(), 0} : makeTraceText();
    Output output = openOutput(settings.outputPath, input);
    if (!settings.writeRaw) {
        writeComments(settings, output);
    }
    keepWholeFrames(output.frames);
    for (int64_t index = 0; input.file != nullptr ? readFrame(input, frame, frameSize) : index < settings.frames;
         ++index) {
        const bool streamed = settings.stream.layout != nullptr;
        if (input.file == nullptr && streamed) {
            drawStreamFrame(settings.stream, index, frame);
        } else if (input.file == nullptr) {
            drawFrame(sizes, index, frame);
        }
        if (settings.writeRaw) {
            writeOut(output, frame, frameSize);
        } else if (streamed) {
            writeStreamFrame(settings, frame, trace, output);
        } else {
            writeTraceFrame(settings, frame, trace, output);
        }
        keepWholeFrames(output.frames);
    }
    std::free(frame);
    closeOutput(output);
    return statusDone;
}

} // namespace tracegen
