// Loading a device map of 10 000 entries (the most a map holds), beside the
// least any loader does with the same file: reading its bytes and splitting
// them into lines. Both from the page cache, median of N runs.
//
//   bench_device_map [--runs N]   (default 21)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "Bench_util.h"
#include "Device_map.h"
#include "Small_file.h"

namespace {

// Ten devices of 1 000 entries: coils, floats, scaled input registers and
// 32-bit counters, with units and descriptions, some of them quoted.
std::string big_map()
{
    std::string text = "name,address,device,format,scale,offset,unit,writable,description\n";
    for (int k = 0; k < 10000; ++k) {
        const int device = 1 + k / 1000, j = k % 1000;
        const std::string name = "dev" + std::to_string(device) + ".value_" + std::to_string(j);
        const std::string d = std::to_string(device);
        switch (j % 4) {
        case 0:
            text += name + "," + map_address_text(Map_table::Coils, uint32_t(j), true) + "," + d +
                    ",Bit,,,,yes,pump " + std::to_string(j) + " running\n";
            break;
        case 1:
            text += name + "," + map_address_text(Map_table::HoldingRegisters, uint32_t(2 * j), true) + "," + d +
                    ",Float CDAB,1,0,m3/h,no,\"Flow, line " + std::to_string(j) + "\"\n";
            break;
        case 2:
            text += name + "," + map_address_text(Map_table::InputRegisters, uint32_t(j), true) + "," + d +
                    ",Signed,0.1,-40,\xC2\xB0" "C,,temperature\n";
            break;
        default:
            text += name + "," + map_address_text(Map_table::HoldingRegisters, uint32_t(2 * j), true) + "," + d +
                    ",Unsigned long ABCD,1,0,,yes,\"energy counter \"\"total\"\"\"\n";
            break;
        }
    }
    return text;
}

}  // namespace

int main(int argc, char **argv)
{
    int runs = 21;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::clamp(std::atoi(argv[++i]), 1, 101);

    char path[] = "/tmp/bench_device_map_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        std::perror("mkstemp");
        return 1;
    }
    const std::string text = big_map();
    const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    if (!written) {
        std::perror("write");
        ::unlink(path);
        return 1;
    }

    std::vector<double> loads, references;
    bool ok = true;
    size_t lines = 0;
    for (int r = 0; r < runs && ok; ++r) {
        double t0 = bench::now_ms();
        std::string bytes;
        ok = read_small_file(path, kMapMaxBytes, bytes).empty();
        std::vector<std::string_view> split;
        for (size_t start = 0; start < bytes.size();) {
            size_t end = bytes.find('\n', start);
            if (end == std::string::npos)
                end = bytes.size();
            split.emplace_back(bytes.data() + start, end - start);
            start = end + 1;
        }
        lines = split.size();
        references.push_back(bench::now_ms() - t0);

        t0 = bench::now_ms();
        Device_map map;
        const std::string error = map.load(path);
        loads.push_back(bench::now_ms() - t0);
        if (!error.empty() || map.size() != 10000) {
            std::printf("load failed: %s (%zu entries)\n", error.c_str(), map.size());
            ok = false;
        }
    }
    ::unlink(path);
    if (!ok)
        return 1;
    const double load = bench::median(loads), reference = bench::median(references);
    std::printf("map of 10000 entries, %zu bytes, %zu lines: load %.2f ms, read and split lines %.3f ms "
                "(median of %d)\n",
                text.size(), lines, load, reference, runs);
    bench::row("6 Device map", "load a 10 000-entry map", bench::fmt("%.1f ms", load), "< 50 ms",
               load < 50 ? "met" : "NOT met");
    bench::row("6 Device map", "load / read the bytes and split lines", bench::fmt("%.0f x", load / reference),
               "-", "-");
    return 0;
}
