#include "framecmp/views.h"

#include <csignal>
#include <cstdint>

#include <sys/mman.h>
#include <unistd.h>

#include "common/messages.h"

namespace framecmp {

// The mappings as the SIGBUS handler reads them; `lost` set by the handler only.
struct ViewSlot {
    void* volatile start;
    volatile size_t length;
    volatile sig_atomic_t lost;
};

static ViewSlot viewSlots[2];

// A file that shrinks under its mapping raises SIGBUS where its pages are gone. The whole
// view is replaced with zeros, so that the comparison runs to its end and the run then fails
// as any trouble does (its reports, its temporary files). Only system calls: mmap is one.
static void replaceLostView(int signalNumber, siginfo_t* info, void* context)
{
    static_cast<void>(context);
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (ViewSlot& slot : viewSlots) {
        void* start = slot.start;
        const size_t length = slot.length;
        if (length != 0 && address - reinterpret_cast<uintptr_t>(start) < length &&
            mmap(start, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
            slot.lost = 1;
            return;
        }
    }
    // A fault of the program's own: it ends the run as it would without the handler.
    signal(signalNumber, SIG_DFL);
}

void catchLostViews()
{
    struct sigaction action {};
    action.sa_sigaction = replaceLostView;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
}

// Maps `length` bytes of a file from `at`, from the page that holds it on; null when the
// system cannot. The pages are mapped at once: a fault a few pages would cost more.
static void* mapBytes(const Input& input, off_t at, size_t length, size_t& mapped)
{
    const auto pageSize = static_cast<off_t>(sysconf(_SC_PAGESIZE));
    const off_t pageStart = at - at % pageSize;
    mapped = length + static_cast<size_t>(at - pageStart);
    void* start = mmap(nullptr, mapped, PROT_READ, MAP_PRIVATE | MAP_POPULATE, input.fd, pageStart);
    return start == MAP_FAILED ? nullptr : start;
}

static void unmapView(FrameViews& views, size_t file)
{
    viewSlots[file].length = 0;
    viewSlots[file].start = nullptr;
    munmap(views.start[file], views.length[file]);
    views.start[file] = nullptr;
    views.length[file] = 0;
}

bool viewFrames(const Input inputs[2], const PairLayout& pair, const Readahead& readahead, const off_t at[2],
                Buffers& buffers, FrameViews& views, size_t got[2])
{
    for (size_t file = 0; file < 2; ++file) {
        const FrameLayout& layout = layoutOf(pair, file);
        if (readahead.next[file] < readahead.frames[file].size() ||
            bytesFrom(inputs[file], at[file], layout.fileFrameSize) < layout.fileFrameSize) {
            return false;
        }
    }
    for (size_t file = 0; file < 2; ++file) {
        const size_t frameSize = layoutOf(pair, file).fileFrameSize;
        size_t mapped = 0;
        void* start = mapBytes(inputs[file], at[file], frameSize, mapped);
        if (start == nullptr) {
            for (size_t done = 0; done < file; ++done) {
                unmapView(views, done);
            }
            return false;
        }
        views.start[file] = start;
        views.length[file] = mapped;
        viewSlots[file].lost = 0;
        viewSlots[file].start = start;
        viewSlots[file].length = mapped;
    }
    for (size_t file = 0; file < 2; ++file) {
        const size_t frameSize = layoutOf(pair, file).fileFrameSize;
        uint8_t*& frame = frameOf(buffers, file);
        views.owned[file] = frame;
        frame = static_cast<uint8_t*>(views.start[file]) + (views.length[file] - frameSize);
        lseek(inputs[file].fd, at[file] + static_cast<off_t>(frameSize), SEEK_SET);
        got[file] = frameSize;
    }
    return true;
}

int lostView(const FrameViews& views)
{
    for (size_t file = 0; file < 2; ++file) {
        if (views.start[file] != nullptr && viewSlots[file].lost != 0) {
            return static_cast<int>(file);
        }
    }
    return -1;
}

void endViews(const Input inputs[2], Buffers& buffers, FrameViews& views)
{
    const int lost = lostView(views);
    for (size_t file = 0; file < 2; ++file) {
        if (views.start[file] != nullptr) {
            frameOf(buffers, file) = views.owned[file];
            views.owned[file] = nullptr;
            unmapView(views, file);
        }
    }
    if (lost >= 0) {
        fail(inputs[lost].path, "the file changed while it was read");
    }
}

} // namespace framecmp
