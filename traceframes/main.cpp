// traceframes: rebuilds raw YUV frames from a text trace of a 32- or 64-bit data bus.
//
// A trace holds one bus word a row as hexadecimal bytes; lines that begin with '#' are
// comments. The picture geometry is read from the file name (clip_w176_144_420_32.txt).
// Rows fill a frame buffer, luma plane first, then chroma, which -P splits into two planes.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TRACEFRAMES_X86 1
#endif

// One way to fail: a fixed message on standard error and a status.
struct Failure {
    const char* message;
    int status;
};

constexpr Failure unrecognizedOption{"unrecognized option: ", 1};
constexpr Failure multipleInputs{"multiple input files specified", 2};
constexpr Failure noInputFile{"no input file specified!", 3};
constexpr Failure inputNotOpened{"error opening input file!", 4};
constexpr Failure outputNotOpened{"error opening output file!", 5};
constexpr Failure allocationFailed{"error allocating memory!", 6};
constexpr Failure inputNotRead{"error reading input file!", 7};
constexpr Failure malformedName{"malformed input trace file name, cannot decipher", 8};
constexpr Failure malformedRow{"malformed row: ", 9};
constexpr Failure invalidArguments{"invalid arguments", 10};
constexpr Failure outputNotWritten{"error writing output file!", 11};
constexpr Failure outputIsInput{"output file is the input file!", 12};
constexpr Failure misalignedFrame{"frame size is not a multiple of the bus width!", 13};
constexpr Failure standardOutputNotWritten{"error writing standard output!", 14};

// Frame size as a multiple of the luma plane size, times two, by sampling index.
constexpr int32_t picSizeMulDiv2[4] = {3, 4, 4, 2};
constexpr int32_t samplingValues[4] = {420, 422, 440, 400};

constexpr int maxRowNumbers = 8;
// The fuzz build shrinks the block so that small inputs reach every refill and long line.
#ifndef TRACEFRAMES_INPUT_BLOCK_SIZE
#define TRACEFRAMES_INPUT_BLOCK_SIZE (size_t{1} << 20)
#endif
constexpr size_t inputBlockSize = TRACEFRAMES_INPUT_BLOCK_SIZE;
// A row needs at most eight numbers of two characters, each after one collapsed blank.
constexpr size_t compactRowCapacity = 64;

// Character classes of the row parser: 0 to 15 are hexadecimal digit values.
constexpr uint8_t whiteSpaceClass = 16;
constexpr uint8_t otherClass = 17;

// The fast row path decodes 48 characters of "hh hh hh hh\n" shaped rows into 16 bytes.
constexpr size_t groupTextSize = 48;
constexpr int32_t groupBytes = 16;

struct CharClasses {
    uint8_t of[256];
};

constexpr CharClasses makeCharClasses()
{
    CharClasses classes{};
    for (int c = 0; c < 256; ++c) {
        classes.of[c] = otherClass;
    }
    for (int c = '0'; c <= '9'; ++c) {
        classes.of[c] = static_cast<uint8_t>(c - '0');
    }
    for (int c = 0; c < 6; ++c) {
        classes.of['a' + c] = static_cast<uint8_t>(10 + c);
        classes.of['A' + c] = static_cast<uint8_t>(10 + c);
    }
    // The C library's white space: blank, tab, line feed, vertical tab, form feed, return.
    for (const char c : {' ', '\t', '\n', '\v', '\f', '\r'}) {
        classes.of[static_cast<unsigned char>(c)] = whiteSpaceClass;
    }
    return classes;
}

constexpr CharClasses charClasses = makeCharClasses();

// Shuffle masks of the group decoder: mask[field][part] gathers character 3k + field of a
// 48-character group (field 0: high digit, 1: low digit, 2: separator) from its 16-character
// part `part` into byte k, with zero where that character lies in another part.
struct GroupGather {
    alignas(16) int8_t mask[3][3][16];
};

constexpr GroupGather makeGroupGather()
{
    GroupGather gather{};
    for (int field = 0; field < 3; ++field) {
        for (int part = 0; part < 3; ++part) {
            for (int k = 0; k < 16; ++k) {
                const int at = 3 * k + field - 16 * part;
                gather.mask[field][part][k] = static_cast<int8_t>(at >= 0 && at < 16 ? at : -128);
            }
        }
    }
    return gather;
}

constexpr GroupGather groupGather = makeGroupGather();

struct TraceGeometry {
    int32_t width;
    int32_t height;
    int32_t sampling;
    int32_t samplingIndex;
    int32_t busBytes;
    int32_t lumaPlaneSize;
    int32_t frameSize;
    int32_t chromaPlaneSize;
};

struct RunSettings {
    std::string inputPath;
    std::string outputPath;
    bool inputGiven;
    bool outputGiven;
    bool splitChroma;
};

// A fixed block of input text; lines are found in [begin, end).
struct InputBlock {
    int fd;
    char* data;
    size_t begin;
    size_t end;
    bool atEnd;
};

// A row with each run of white space collapsed to one blank, cut after what the
// conversion can look at: it converts exactly as the row it came from.
struct CompactRow {
    char text[compactRowCapacity + 1];
    size_t length;
    bool complete;
};

struct FrameAssembly {
    const TraceGeometry* geometry;
    bool splitChroma;
    bool useGroupKernel;
    int outputFd;
    uint8_t* frame;
    int32_t fillCount;
    int64_t rowIndex;
    int64_t framesWritten;
    // The separator after each of the 16 numbers of a group: blank, or line feed at a row end.
    char groupSeparators[groupBytes];
};

[[noreturn]] static void fail(const Failure& failure, const std::string& detail = std::string())
{
    // Keep the order of a combined log: what went to standard output comes first.
    std::fflush(stdout);
    std::fprintf(stderr, "%s%s\n", failure.message, detail.c_str());
    std::exit(failure.status);
}

static void writeStandardOutput(const char* text, size_t length)
{
    std::fwrite(text, 1, length, stdout);
}

// ---- Command line ----

static RunSettings readArguments(int argc, char** argv)
{
    RunSettings settings{};
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument[0] != '-') {
            if (settings.inputGiven) {
                fail(multipleInputs);
            }
            settings.inputPath = argument;
            settings.inputGiven = true;
        } else if (argument[1] == 'O') {
            if (argument[2] != '\0') {
                settings.outputPath = argument + 2;
            } else if (i + 1 < argc) {
                settings.outputPath = argv[++i];
            } else {
                fail(invalidArguments);
            }
            settings.outputGiven = true;
        } else if (argument[1] == 'P') {
            settings.splitChroma = true;
        } else {
            fail(unrecognizedOption, argument);
        }
    }
    if (!settings.inputGiven) {
        fail(noInputFile);
    }
    return settings;
}

// The input path with its last four characters replaced by ".yuv"; a path of three
// characters or fewer stays as it is.
static std::string deriveOutputPath(const std::string& inputPath)
{
    if (inputPath.size() <= 3) {
        return inputPath;
    }
    return inputPath.substr(0, inputPath.size() - 4) + ".yuv";
}

// ---- Files ----

// Opens whichever of descriptors 0 to 2 the caller left closed, so that no file of ours is
// ever given one of them. Each is opened for the direction it is not used in, so that
// writing the report to a standard output that was closed fails as it should.
static void openStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY) != fd) {
            std::_Exit(standardOutputNotWritten.status);
        }
    }
}

// A directory opens for reading but cannot be read: it is refused here, before the output
// is created or emptied.
static int openInput(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat input {};
    if (fd < 0 || (fstat(fd, &input) == 0 && S_ISDIR(input.st_mode))) {
        fail(inputNotOpened);
    }
    return fd;
}

// Refuses an output path that names the open input (same path, another spelling of it,
// or a link to it) before the output is opened, since opening truncates it.
static void refuseInputAsOutput(int inputFd, const std::string& outputPath)
{
    struct stat input {};
    struct stat output {};
    if (fstat(inputFd, &input) == 0 && stat(outputPath.c_str(), &output) == 0 && input.st_dev == output.st_dev &&
        input.st_ino == output.st_ino) {
        fail(outputIsInput);
    }
}

static int openOutput(const std::string& path, int inputFd)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        close(inputFd);
        fail(outputNotOpened);
    }
    return fd;
}

// Returns false when the output took fewer bytes than given (a full disk, an I/O error).
static bool writeAll(int fd, const uint8_t* data, size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// A write failed part way through a frame: a regular output file is cut back to the frames
// completed before it, so that it never ends with a torn frame.
[[noreturn]] static void failWritingFrame(int fd, int64_t completedBytes)
{
    struct stat output {};
    if (fstat(fd, &output) == 0 && S_ISREG(output.st_mode)) {
        // Should the cut fail as well, the write error is still what is reported.
        while (ftruncate(fd, static_cast<off_t>(completedBytes)) != 0 && errno == EINTR) {
        }
    }
    fail(outputNotWritten);
}

static void closeOutput(int fd)
{
    if (close(fd) != 0) {
        fail(outputNotWritten);
    }
}

// Moves the unread text to the front of the block and reads more behind it.
// Returns false when the input has ended and nothing new was read.
static bool refillInput(InputBlock& in)
{
    if (in.begin > 0) {
        std::memmove(in.data, in.data + in.begin, in.end - in.begin);
        in.end -= in.begin;
        in.begin = 0;
    }
    for (;;) {
        const ssize_t got = read(in.fd, in.data + in.end, inputBlockSize - in.end);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            fail(inputNotRead);
        }
        if (got == 0) {
            in.atEnd = true;
            return false;
        }
        in.end += static_cast<size_t>(got);
        return true;
    }
}

// ---- Geometry from the file name ----

static bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The rightmost "_w" directly followed by a digit, or npos.
static size_t findGeometryMarker(const std::string& path)
{
    for (size_t p = path.size(); p >= 3; --p) {
        const size_t at = p - 3;
        if (path[at] == '_' && path[at + 1] == 'w' && isDigit(path[at + 2])) {
            return at;
        }
    }
    return std::string::npos;
}

// Reads the first four runs of decimal digits from the marker on; every other character
// separates them. Returns false when fewer than four are there or one exceeds 32 bits.
static bool readMarkerNumbers(const std::string& path, size_t from, int32_t numbers[4])
{
    int found = 0;
    size_t i = from;
    while (found < 4 && i < path.size()) {
        if (!isDigit(path[i])) {
            ++i;
            continue;
        }
        int64_t value = 0;
        for (; i < path.size() && isDigit(path[i]); ++i) {
            value = value * 10 + (path[i] - '0');
            if (value > INT32_MAX) {
                return false;
            }
        }
        numbers[found++] = static_cast<int32_t>(value);
    }
    return found == 4;
}

static bool decodeGeometry(const std::string& path, TraceGeometry& geometry)
{
    const size_t marker = findGeometryMarker(path);
    int32_t numbers[4] = {0, 0, 0, 0};
    if (marker == std::string::npos || !readMarkerNumbers(path, marker, numbers)) {
        return false;
    }
    geometry = TraceGeometry{};
    geometry.width = numbers[0];
    geometry.height = numbers[1];
    for (int32_t index = 0; index < 4; ++index) {
        if (numbers[2] == samplingValues[index]) {
            geometry.sampling = numbers[2];
            geometry.samplingIndex = index;
        }
    }
    const int32_t busBytes = numbers[3] >> 3;
    geometry.busBytes = (busBytes == 4 || busBytes == 8) ? busBytes : 0;
    if (geometry.width == 0 || geometry.height == 0 || geometry.sampling == 0 || geometry.busBytes == 0) {
        return false;
    }
    // Every size must fit a signed 32-bit integer, the product before the halving too; each
    // product is checked as it is formed, so no size can wrap.
    int32_t lumaPlaneSize = 0;
    int32_t doubleFrameSize = 0;
    if (__builtin_mul_overflow(geometry.width, geometry.height, &lumaPlaneSize) ||
        __builtin_mul_overflow(lumaPlaneSize, picSizeMulDiv2[geometry.samplingIndex], &doubleFrameSize)) {
        return false;
    }
    geometry.lumaPlaneSize = lumaPlaneSize;
    geometry.frameSize = doubleFrameSize / 2;
    geometry.chromaPlaneSize = (geometry.frameSize - geometry.lumaPlaneSize) / 2;
    return true;
}

static void reportGeometry(const TraceGeometry& geometry)
{
    std::printf("width     = %d\n", geometry.width);
    std::printf("height    = %d\n", geometry.height);
    std::printf("sampling  = YUV%d\n", geometry.sampling);
    std::printf("bus width = %d\n", geometry.busBytes * 8);
}

// Rows must fill the luma plane and the frame exactly, or they would straddle their ends.
static void refuseMisalignedGeometry(const TraceGeometry& geometry)
{
    if (geometry.lumaPlaneSize % geometry.busBytes != 0 || geometry.frameSize % geometry.busBytes != 0) {
        fail(misalignedFrame);
    }
}

// ---- Row conversion ----

// Appends text to a compact row up to the first NUL, which ends what a C string shows.
static void compactRow(const char* text, const char* end, CompactRow& row)
{
    for (const char* p = text; p < end && !row.complete; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\0') {
            row.complete = true;
        } else if (charClasses.of[c] != whiteSpaceClass) {
            row.text[row.length++] = static_cast<char>(c);
        } else if (row.length == 0 || row.text[row.length - 1] != ' ') {
            row.text[row.length++] = ' ';
        }
        if (row.length == compactRowCapacity) {
            row.complete = true;
        }
    }
    row.text[row.length] = '\0';
}

// Rows with signs, "0x" prefixes or other characters: the C library decides.
static int convertRowWithLibc(const char* text, const char* end, uint8_t bytes[maxRowNumbers])
{
    CompactRow row{};
    compactRow(text, end, row);
    unsigned values[maxRowNumbers] = {};
    // NOLINTNEXTLINE(cert-err34-c): the C library's own reading of the row is the point here
    const int count = std::sscanf(row.text, "%2x%2x%2x%2x%2x%2x%2x%2x", &values[0], &values[1], &values[2], &values[3],
                                  &values[4], &values[5], &values[6], &values[7]);
    for (int i = 0; i < maxRowNumbers; ++i) {
        bytes[i] = static_cast<uint8_t>(values[i]);
    }
    return count;
}

// Converts a row as "%2x" eight times would: numbers of at most two hexadecimal digits,
// white space skipped before each. Returns how many were converted, or -1 when the row
// ends before the first. Rows of hexadecimal digits and white space are parsed here.
static int convertRow(const char* text, const char* end, uint8_t bytes[maxRowNumbers])
{
    const char* p = text;
    int count = 0;
    while (count < maxRowNumbers) {
        while (p < end && charClasses.of[static_cast<unsigned char>(*p)] == whiteSpaceClass) {
            ++p;
        }
        if (p == end) {
            return count == 0 ? -1 : count;
        }
        const uint8_t high = charClasses.of[static_cast<unsigned char>(*p++)];
        if (high > 15) {
            return convertRowWithLibc(text, end, bytes);
        }
        uint8_t value = high;
        if (p < end && charClasses.of[static_cast<unsigned char>(*p)] <= 15) {
            value = static_cast<uint8_t>(high << 4 | charClasses.of[static_cast<unsigned char>(*p++)]);
        }
        bytes[count++] = value;
    }
    return count;
}

#ifdef TRACEFRAMES_X86

__attribute__((target("ssse3"))) static __m128i gatherField(const __m128i parts[3], const __m128i masks[3])
{
    return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(parts[0], masks[0]), _mm_shuffle_epi8(parts[1], masks[1])),
                        _mm_shuffle_epi8(parts[2], masks[2]));
}

// Digit values of 16 characters; `valid` gets 0xff where a character is a hexadecimal digit.
__attribute__((target("ssse3"))) static __m128i hexDigits(__m128i characters, __m128i& valid)
{
    const __m128i digit = _mm_sub_epi8(characters, _mm_set1_epi8('0'));
    const __m128i digitMask = _mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit);
    const __m128i letter = _mm_sub_epi8(_mm_or_si128(characters, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    const __m128i letterMask = _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter);
    valid = _mm_or_si128(digitMask, letterMask);
    return _mm_or_si128(_mm_and_si128(digitMask, digit),
                        _mm_and_si128(letterMask, _mm_add_epi8(letter, _mm_set1_epi8(10))));
}

// Decodes up to `groups` groups of 48 characters, each 16 numbers "hh" with the separators
// given (blank or line feed), into 16 bytes each. With `secondPlane`, the even bytes go to
// `out` and the odd ones to `secondPlane`, 8 of each a group. Stops at the first group of
// another shape and returns how many were decoded.
__attribute__((target("ssse3"))) static size_t decodeGroupsSsse3(const char* text, size_t groups,
                                                                 const char separators[groupBytes], uint8_t* out,
                                                                 uint8_t* secondPlane)
{
    __m128i masks[3][3];
    for (int field = 0; field < 3; ++field) {
        for (int part = 0; part < 3; ++part) {
            masks[field][part] = _mm_load_si128(reinterpret_cast<const __m128i*>(groupGather.mask[field][part]));
        }
    }
    const __m128i expectedSeparators = _mm_loadu_si128(reinterpret_cast<const __m128i*>(separators));
    const __m128i evenThenOdd = _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
    size_t done = 0;
    for (; done < groups; ++done) {
        const char* group = text + done * groupTextSize;
        const __m128i parts[3] = {_mm_loadu_si128(reinterpret_cast<const __m128i*>(group)),
                                  _mm_loadu_si128(reinterpret_cast<const __m128i*>(group + 16)),
                                  _mm_loadu_si128(reinterpret_cast<const __m128i*>(group + 32))};
        __m128i highValid;
        __m128i lowValid;
        const __m128i high = hexDigits(gatherField(parts, masks[0]), highValid);
        const __m128i low = hexDigits(gatherField(parts, masks[1]), lowValid);
        const __m128i separatorsMatch = _mm_cmpeq_epi8(gatherField(parts, masks[2]), expectedSeparators);
        const __m128i valid = _mm_and_si128(_mm_and_si128(highValid, lowValid), separatorsMatch);
        if (_mm_movemask_epi8(valid) != 0xffff) {
            break;
        }
        // Each high digit is at most 15, so the 16-bit shift keeps it within its byte.
        const __m128i bytes = _mm_or_si128(_mm_slli_epi16(high, 4), low);
        if (secondPlane == nullptr) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + done * groupBytes), bytes);
        } else {
            const __m128i planes = _mm_shuffle_epi8(bytes, evenThenOdd);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + done * 8), planes);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(secondPlane + done * 8), _mm_srli_si128(planes, 8));
        }
    }
    return done;
}

static bool groupKernelSupported()
{
    return __builtin_cpu_supports("ssse3");
}

#else

static size_t decodeGroupsSsse3(const char*, size_t, const char*, uint8_t*, uint8_t*)
{
    return 0;
}

static bool groupKernelSupported()
{
    return false;
}

#endif

// ---- Frame assembly ----

static void writeFrame(FrameAssembly& assembly)
{
    const int32_t frameSize = assembly.geometry->frameSize;
    if (!writeAll(assembly.outputFd, assembly.frame, static_cast<size_t>(frameSize))) {
        failWritingFrame(assembly.outputFd, assembly.framesWritten * frameSize);
    }
    assembly.fillCount = 0;
    ++assembly.framesWritten;
}

// Where the next bytes of the frame go: at `first`, or with the chroma split the even bytes
// at `first` in the first chroma plane and the odd ones at `second` in the second.
struct Destination {
    uint8_t* first;
    uint8_t* second; // null unless the chroma is split
};

static Destination nextDestination(const FrameAssembly& assembly)
{
    const TraceGeometry& geometry = *assembly.geometry;
    if (!assembly.splitChroma || assembly.fillCount < geometry.lumaPlaneSize) {
        return {assembly.frame + assembly.fillCount, nullptr};
    }
    uint8_t* first = assembly.frame + geometry.lumaPlaneSize + (assembly.fillCount - geometry.lumaPlaneSize) / 2;
    return {first, first + geometry.chromaPlaneSize};
}

// Counts bytes placed into the frame and writes the frame when it is full.
static void advanceFill(FrameAssembly& assembly, int32_t placed)
{
    assembly.fillCount += placed;
    if (assembly.fillCount == assembly.geometry->frameSize) {
        writeFrame(assembly);
    }
}

static void placeRow(FrameAssembly& assembly, const uint8_t bytes[maxRowNumbers])
{
    const int32_t busBytes = assembly.geometry->busBytes;
    const Destination to = nextDestination(assembly);
    if (to.second != nullptr) {
        // A row holds at most maxRowNumbers bytes; the bound says so to the compiler too.
        const size_t pairs = std::min(static_cast<size_t>(busBytes / 2), size_t{maxRowNumbers / 2});
        for (size_t j = 0; j < pairs; ++j) {
            to.first[j] = bytes[2 * j];
            to.second[j] = bytes[2 * j + 1];
        }
    } else {
        std::copy(bytes, bytes + busBytes, to.first);
    }
    advanceFill(assembly, busBytes);
}

static void takeRow(FrameAssembly& assembly, const char* text, const char* end)
{
    uint8_t bytes[maxRowNumbers];
    if (convertRow(text, end, bytes) != assembly.geometry->busBytes) {
        fail(malformedRow, std::to_string(assembly.rowIndex));
    }
    placeRow(assembly, bytes);
}

// One line without its line feed; a comment is copied with one, also when the file's last
// line has none.
static void takeLine(FrameAssembly& assembly, const char* line, const char* end)
{
    ++assembly.rowIndex;
    if (line < end && line[0] == '#') {
        writeStandardOutput(line, static_cast<size_t>(end - line));
        writeStandardOutput("\n", 1);
        return;
    }
    takeRow(assembly, line, end);
}

// A line longer than the input block: a comment is copied piece by piece, a row compacted
// piece by piece and converted at its end.
static void takeLongLine(FrameAssembly& assembly, InputBlock& in)
{
    ++assembly.rowIndex;
    const bool isComment = in.data[in.begin] == '#';
    CompactRow row{};
    for (;;) {
        const char* piece = in.data + in.begin;
        const size_t length = in.end - in.begin;
        const char* lineFeed = static_cast<const char*>(std::memchr(piece, '\n', length));
        const char* pieceEnd = lineFeed != nullptr ? lineFeed : piece + length;
        if (isComment) {
            writeStandardOutput(piece, static_cast<size_t>(pieceEnd - piece));
        } else {
            compactRow(piece, pieceEnd, row);
        }
        if (lineFeed != nullptr) {
            in.begin = static_cast<size_t>(lineFeed + 1 - in.data);
            break;
        }
        in.begin = in.end;
        if (!refillInput(in)) {
            break;
        }
    }
    if (isComment) {
        writeStandardOutput("\n", 1);
    } else {
        takeRow(assembly, row.text, row.text + row.length);
    }
}

// Decodes as many whole groups of rows at `text` as the current plane and the text allow.
// Returns the number of characters taken.
static size_t takeGroups(FrameAssembly& assembly, const char* text, size_t available)
{
    const TraceGeometry& geometry = *assembly.geometry;
    const int32_t regionEnd = assembly.fillCount < geometry.lumaPlaneSize ? geometry.lumaPlaneSize : geometry.frameSize;
    const size_t groups =
        std::min(available / groupTextSize, static_cast<size_t>((regionEnd - assembly.fillCount) / groupBytes));
    if (groups == 0) {
        return 0;
    }
    const Destination to = nextDestination(assembly);
    const size_t done = decodeGroupsSsse3(text, groups, assembly.groupSeparators, to.first, to.second);
    assembly.rowIndex += static_cast<int64_t>(done) * (groupBytes / geometry.busBytes);
    advanceFill(assembly, static_cast<int32_t>(done) * groupBytes);
    return done * groupTextSize;
}

// Reads the whole input, converting rows into frames and writing every completed frame.
static void convertTrace(FrameAssembly& assembly, InputBlock& in)
{
    for (;;) {
        if (assembly.useGroupKernel) {
            const size_t taken = takeGroups(assembly, in.data + in.begin, in.end - in.begin);
            if (taken > 0) {
                in.begin += taken;
                continue;
            }
        }
        const char* line = in.data + in.begin;
        const char* lineFeed = static_cast<const char*>(std::memchr(line, '\n', in.end - in.begin));
        if (lineFeed != nullptr) {
            takeLine(assembly, line, lineFeed);
            in.begin = static_cast<size_t>(lineFeed + 1 - in.data);
        } else if (in.atEnd) {
            if (in.begin < in.end) {
                takeLine(assembly, line, in.data + in.end);
            }
            return;
        } else if (in.begin == 0 && in.end == inputBlockSize) {
            takeLongLine(assembly, in);
        } else {
            refillInput(in);
        }
    }
}

static void assembleFrames(int inputFd, int outputFd, const TraceGeometry& geometry, bool splitChroma)
{
    uint8_t* frame = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(geometry.frameSize), 1));
    char* inputText = static_cast<char*>(std::malloc(inputBlockSize));
    if (frame == nullptr || inputText == nullptr) {
        close(inputFd);
        close(outputFd);
        fail(allocationFailed);
    }
    FrameAssembly assembly{};
    assembly.geometry = &geometry;
    assembly.splitChroma = splitChroma;
    assembly.useGroupKernel = groupKernelSupported();
    assembly.outputFd = outputFd;
    assembly.frame = frame;
    assembly.rowIndex = -1;
    for (int32_t k = 0; k < groupBytes; ++k) {
        assembly.groupSeparators[k] = (k + 1) % geometry.busBytes == 0 ? '\n' : ' ';
    }
    InputBlock in{inputFd, inputText, 0, 0, false};
    convertTrace(assembly, in);
    if (assembly.fillCount != 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "read error, insufficient data (k=%d)!\n", assembly.fillCount);
    }
    std::printf("Wrote %lld frames\n", static_cast<long long>(assembly.framesWritten));
    std::free(inputText);
    std::free(frame);
}

// Careful tools end with an error when their report could not be written (a full disk, a
// closed standard output), rather than with success and a lost report.
static void finishStandardOutput()
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        fail(standardOutputNotWritten);
    }
}

int main(int argc, char** argv)
{
    openStandardDescriptors();
    RunSettings settings = readArguments(argc, argv);
    if (!settings.outputGiven) {
        settings.outputPath = deriveOutputPath(settings.inputPath);
    }
    const int inputFd = openInput(settings.inputPath);
    refuseInputAsOutput(inputFd, settings.outputPath);
    const int outputFd = openOutput(settings.outputPath, inputFd);
    std::printf("use input file '%s'\n", settings.inputPath.c_str());

    TraceGeometry geometry{};
    if (!decodeGeometry(settings.inputPath, geometry)) {
        fail(malformedName);
    }
    reportGeometry(geometry);
    refuseMisalignedGeometry(geometry);

    assembleFrames(inputFd, outputFd, geometry, settings.splitChroma);
    closeOutput(outputFd);
    close(inputFd);
    finishStandardOutput();
    return 0;
}
