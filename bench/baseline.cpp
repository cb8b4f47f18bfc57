// Baselines for bench/run.py: the cost of the work no parser can avoid.
//
//   baseline read    FILE      read the whole file into one malloc'd buffer
//   baseline memmem  FILE      read it (untimed), then one memmem over all of it
//                              for a needle that does not occur (a skipped block's cost)
//   baseline memmem2 FILE      the memmem scan in two threads at once, each over its own
//                              copy of the text: how two memory-bound parses side by
//                              side share this machine
//   baseline inflate FILE.gz   read it (untimed), then libdeflate decompression of
//                              its gzip member into a buffer sized from the trailer
//   baseline touch FILE        first writes to fresh memory of the file's size: what
//                              a parse pays for the memory it fills (text, records)
//   baseline touch-huge FILE   the same in memory advised for transparent huge pages
//                              (2 MiB per fault instead of 4 KiB): what filling costs
//                              at best on this machine
//   baseline map FILE          maps the file and populates the mapping: reading the
//                              text without copying it
//   baseline anon-peak PID     not a baseline: watches the anonymous (private) resident
//                              memory of process PID (statm's resident minus shared)
//                              every half millisecond, prints the first value, and at
//                              the end of its standard input the highest one
//
// An optional third argument repeats the measurement in the process (median).
// bench/run.py fixes glibc's mmap threshold (MALLOC_MMAP_THRESHOLD_), so that
// every buffer of a repeat is fresh memory from the kernel, as in a first parse.
// Prints one JSON object: the timed seconds, the bytes involved, the page faults
// of the timed part (median) and the peak RSS.
// Built by bench/run.py: g++ -O2 -std=c++17 bench/baseline.cpp -ldeflate -pthread
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <libdeflate.h>

namespace {

double now() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

[[noreturn]] void die(const char* what) {
    std::perror(what);
    std::exit(1);
}

// The whole file in a malloc'd buffer of exactly its size.
char* read_file(const char* path, std::size_t& size) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) die(path);
    struct stat st;
    if (::fstat(fd, &st) != 0) die("fstat");
    size = static_cast<std::size_t>(st.st_size);
    char* buf = static_cast<char*>(std::malloc(size ? size : 1));
    if (!buf) die("malloc");
    std::size_t got = 0;
    while (got < size) {
        ssize_t n = ::read(fd, buf + got, size - got);
        if (n < 0) die("read");
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    size = got;
    return buf;
}

long minor_faults() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_minflt;
}

long peak_rss_kib() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// Offset of the DEFLATE data after a gzip header.
std::size_t gzip_header_size(const unsigned char* d, std::size_t n) {
    if (n < 18 || d[0] != 0x1f || d[1] != 0x8b) {
        std::fprintf(stderr, "not a gzip file\n");
        std::exit(1);
    }
    const unsigned flags = d[3];
    std::size_t pos = 10;
    if (flags & 0x04) pos += 2 + (d[pos] | d[pos + 1] << 8);
    for (unsigned f : {0x08u, 0x10u})
        if (flags & f) pos += std::strlen(reinterpret_cast<const char*>(d + pos)) + 1;
    if (flags & 0x02) pos += 2;
    return pos;
}

}  // namespace

// One measurement: returns the timed seconds, sets bytes.
double measure(const std::string& mode, const char* path, std::size_t& bytes, std::uintptr_t& sink,
               long& faults) {
    double seconds = 0.0;
    const long faults_before = minor_faults();

    if (mode == "read") {
        const double t0 = now();
        char* buf = read_file(path, bytes);
        seconds = now() - t0;
        sink = static_cast<unsigned char>(buf[bytes / 2]);
        std::free(buf);
    } else if (mode == "memmem") {
        char* buf = read_file(path, bytes);
        static const char needle[] = "</calcsift-absent>";
        const double t0 = now();
        const void* hit = memmem(buf, bytes, needle, sizeof needle - 1);
        seconds = now() - t0;
        sink = reinterpret_cast<std::uintptr_t>(hit);
        std::free(buf);
    } else if (mode == "memmem2") {
        std::size_t other = 0;
        char* a = read_file(path, bytes);
        char* b = read_file(path, other);
        static const char needle[] = "</calcsift-absent>";
        const void* hits[2] = {nullptr, nullptr};
        const double t0 = now();
        std::thread second([&] { hits[1] = memmem(b, other, needle, sizeof needle - 1); });
        hits[0] = memmem(a, bytes, needle, sizeof needle - 1);
        second.join();
        seconds = now() - t0;
        sink = reinterpret_cast<std::uintptr_t>(hits[0]) ^ reinterpret_cast<std::uintptr_t>(hits[1]);
        std::free(a);
        std::free(b);
    } else if (mode == "inflate") {
        std::size_t in_size = 0;
        char* in = read_file(path, in_size);
        const auto* d = reinterpret_cast<const unsigned char*>(in);
        const std::size_t start = gzip_header_size(d, in_size);
        const unsigned char* t = d + in_size - 4;
        std::size_t out_cap = std::size_t{t[0]} | std::size_t{t[1]} << 8 |
                              std::size_t{t[2]} << 16 | std::size_t{t[3]} << 24;
        // Files over 4 GiB: the trailer holds the size mod 2^32.
        while (out_cap < in_size) out_cap += std::size_t{1} << 32;
        libdeflate_decompressor* dec = libdeflate_alloc_decompressor();
        const double t0 = now();
        char* out = static_cast<char*>(std::malloc(out_cap ? out_cap : 1));
        std::size_t out_len = 0;
        const libdeflate_result r = libdeflate_deflate_decompress(
            dec, d + start, in_size - start, out, out_cap, &out_len);
        seconds = now() - t0;
        if (r != LIBDEFLATE_SUCCESS) {
            std::fprintf(stderr, "libdeflate: error %d\n", static_cast<int>(r));
            std::exit(1);
        }
        bytes = out_len;
        sink = static_cast<unsigned char>(out[out_len / 2]);
        libdeflate_free_decompressor(dec);
        std::free(out);
        std::free(in);
    } else if (mode == "touch-huge") {
        struct stat st;
        if (::stat(path, &st) != 0) die(path);
        bytes = static_cast<std::size_t>(st.st_size);
        const double t0 = now();
        const std::size_t len = bytes ? bytes : 1;
        void* p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) die("mmap");
        (void)madvise(p, len, MADV_HUGEPAGE);
        char* buf = static_cast<char*>(p);
        std::memset(buf, 1, bytes);
        seconds = now() - t0;
        sink = static_cast<unsigned char>(buf[bytes / 2]);
        munmap(p, len);
    } else if (mode == "map") {
        const double t0 = now();
        int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) die(path);
        struct stat st;
        if (::fstat(fd, &st) != 0) die("fstat");
        bytes = static_cast<std::size_t>(st.st_size);
        const std::size_t len = bytes ? bytes : 1;
        void* p = mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (p == MAP_FAILED) die("mmap");
        ::close(fd);
        seconds = now() - t0;
        sink = static_cast<unsigned char>(static_cast<const char*>(p)[bytes / 2]);
        munmap(p, len);
    } else if (mode == "touch") {
        struct stat st;
        if (::stat(path, &st) != 0) die(path);
        bytes = static_cast<std::size_t>(st.st_size);
        const double t0 = now();
        char* buf = static_cast<char*>(std::malloc(bytes ? bytes : 1));
        if (!buf) die("malloc");
        std::memset(buf, 1, bytes);
        seconds = now() - t0;
        sink = static_cast<unsigned char>(buf[bytes / 2]);
        std::free(buf);
    } else {
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        std::exit(2);
    }
    faults = minor_faults() - faults_before;
    return seconds;
}

// Anonymous resident bytes of a process, or -1 when it is gone.
long long anon_bytes(const char* statm) {
    std::FILE* f = std::fopen(statm, "r");
    if (!f) return -1;
    long long size = 0, resident = 0, shared = 0;
    const int got = std::fscanf(f, "%lld %lld %lld", &size, &resident, &shared);
    std::fclose(f);
    return got == 3 ? (resident - shared) * sysconf(_SC_PAGESIZE) : -1;
}

int watch_anon(const char* pid) {
    const std::string statm = std::string("/proc/") + pid + "/statm";
    long long peak = anon_bytes(statm.c_str());
    std::printf("{\"first\": %lld}\n", peak);
    std::fflush(stdout);
    struct pollfd in = {0, POLLIN, 0};
    for (;;) {
        const long long now = anon_bytes(statm.c_str());
        if (now > peak) peak = now;
        if (poll(&in, 1, 0) > 0) {
            char buf[256];
            if (::read(0, buf, sizeof buf) <= 0) break;
        }
        usleep(500);
    }
    std::printf("{\"peak\": %lld}\n", peak);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "anon-peak") return watch_anon(argv[2]);
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: baseline read|memmem|memmem2|inflate|touch|touch-huge|map FILE [REPEAT]\n");
        return 2;
    }
    const int repeat = argc == 4 ? std::max(1, std::atoi(argv[3])) : 1;
    std::size_t bytes = 0;
    std::uintptr_t sink = 0;
    double times[100];
    long faults[100];
    const int n = std::min(repeat, 100);
    for (int i = 0; i < n; ++i) times[i] = measure(argv[1], argv[2], bytes, sink, faults[i]);
    std::sort(times, times + n);
    std::sort(faults, faults + n);
    std::printf("{\"seconds\": %.9f, \"bytes\": %zu, \"faults\": %ld, \"peak_rss\": %ld, \"sink\": %zu}\n",
                times[n / 2], bytes, faults[n / 2], peak_rss_kib() * 1024L,
                static_cast<std::size_t>(sink % 2));
    return 0;
}
