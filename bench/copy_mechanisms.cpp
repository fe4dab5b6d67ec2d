// How fast each way of moving data inside one machine copies 1 GiB whose source sits 512 bytes off a page
// boundary, as a dynamic disk's data does after each block's bitmap, and, for comparison, page-aligned.
//
//     c++ -O2 -std=c++20 -pthread bench/copy_mechanisms.cpp -o /tmp/copy_mechanisms
//     /tmp/copy_mechanisms [FOLDER] [ROUNDS]
//
// Makes FOLDER/mechanisms.src (1 GiB of random data after 512 bytes) and writes FOLDER/mechanisms.dst with each
// way in turn, round after round, so that every way meets the same state of the machine. Warm cache: the source
// is read once first and nothing is flushed. Prints each way's median time.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr off_t kSize = off_t{1} << 30;
constexpr off_t kPiece = 2 << 20;  // one block of a dynamic disk

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::perror(what);
        std::exit(1);
    }
}

// Each piece of [0, kSize) is copied by one of `threads` threads, each through a buffer of `buffer` bytes.
void Buffered(int in, off_t skew, int out, int threads, size_t buffer)
{
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([=] {
            std::vector<char> data(buffer);
            for (off_t piece = t * kPiece; piece < kSize; piece += threads * kPiece) {
                for (off_t at = piece; at < piece + kPiece; at += static_cast<off_t>(buffer)) {
                    Check(pread(in, data.data(), buffer, at + skew) == static_cast<ssize_t>(buffer), "pread");
                    Check(pwrite(out, data.data(), buffer, at) == static_cast<ssize_t>(buffer), "pwrite");
                }
            }
        });
    }
    for (auto& thread : pool) {
        thread.join();
    }
}

void InKernel(int in, off_t skew, int out)
{
    for (off_t at = 0; at < kSize; at += kPiece) {
        loff_t from = at + skew;
        loff_t to = at;
        Check(copy_file_range(in, &from, out, &to, kPiece, 0) == kPiece, "copy_file_range");
    }
}

void Mapped(int in, off_t skew, int out)
{
    void* map = mmap(nullptr, kSize + skew, PROT_READ, MAP_SHARED, in, 0);
    Check(map != MAP_FAILED, "mmap");
    const char* data = static_cast<const char*>(map) + skew;
    for (off_t at = 0; at < kSize; at += kPiece) {
        Check(pwrite(out, data + at, kPiece, at) == kPiece, "pwrite");
    }
    munmap(map, kSize + skew);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string folder = argc > 1 ? argv[1] : "/tmp";
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    const std::string source = folder + "/mechanisms.src";
    const std::string target = folder + "/mechanisms.dst";
    const int in = open(source.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    Check(in >= 0, "open");
    std::mt19937_64 random(1);
    std::vector<uint64_t> chunk(kPiece / 8);
    for (off_t at = 0; at < kSize + 4096; at += kPiece) {
        std::generate(chunk.begin(), chunk.end(), std::ref(random));
        Check(pwrite(in, chunk.data(), kPiece, at) == kPiece, "pwrite");
    }
    Mapped(in, 512, open("/dev/null", O_WRONLY));  // into the page cache

    struct Way {
        const char* name;
        std::function<void(int)> copy;
        std::vector<double> times;
    };
    std::vector<Way> ways = {
        {"copy_file_range, source 512 bytes off", [&](int out) { InKernel(in, 512, out); }, {}},
        {"copy_file_range, aligned", [&](int out) { InKernel(in, 0, out); }, {}},
        {"mmap + pwrite, 1 thread", [&](int out) { Mapped(in, 512, out); }, {}},
        {"pread + pwrite 512 KiB, 1 thread", [&](int out) { Buffered(in, 512, out, 1, 512 << 10); }, {}},
        {"pread + pwrite 512 KiB, 2 threads", [&](int out) { Buffered(in, 512, out, 2, 512 << 10); }, {}},
        {"pread + pwrite 2 MiB, 2 threads", [&](int out) { Buffered(in, 512, out, 2, 2 << 20); }, {}},
        {"pread + pwrite 512 KiB, 4 threads", [&](int out) { Buffered(in, 512, out, 4, 512 << 10); }, {}},
    };
    for (int round = 0; round < rounds; ++round) {
        for (auto& way : ways) {
            unlink(target.c_str());
            sync();
            const auto start = std::chrono::steady_clock::now();
            const int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            Check(out >= 0, "open");
            way.copy(out);
            close(out);
            way.times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
    }
    for (auto& way : ways) {
        std::nth_element(way.times.begin(), way.times.begin() + rounds / 2, way.times.end());
        std::printf("%-36s %.3f s\n", way.name, way.times[rounds / 2]);
    }
    unlink(target.c_str());
    unlink(source.c_str());
}
