// vlt_front_shm_watch PID OUT: maps the progress segment of process PID,
// waits until it names a child (at most 30 s: the writer publishes the
// child a moment after starting it), writes "ready" next to OUT, waits
// until PID has ended (at most 30 s) and writes to OUT the child pid seen
// at the start and the phase and child pid the segment held at the end.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char **argv) {
    if (argc != 3)
        return 2;
    long pid = std::strtol(argv[1], nullptr, 10);
    std::string out = argv[2];
    std::string name = "/vlt_progress." + std::to_string(pid);
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    FILE *f = std::fopen(out.c_str(), "w");
    if (f == nullptr)
        return 1;
    if (fd < 0) {
        std::fprintf(f, "no segment\n");
        std::fclose(f);
        std::fclose(std::fopen((out + ".ready").c_str(), "w"));
        return 0;
    }
    void *map = mmap(nullptr, 1208, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED)
        return 1;
    const volatile uint8_t *seg = static_cast<const volatile uint8_t *>(map);
    auto u32 = [&](size_t off) {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++)
            v |= static_cast<uint32_t>(seg[off + i]) << (8 * i);
        return v;
    };
    for (int i = 0; i < 3000 && u32(1200) == 0; i++)
        usleep(10000);
    char job[65];
    for (int i = 0; i < 64; i++)
        job[i] = static_cast<char>(seg[24 + i]);
    job[64] = '\0';
    std::fprintf(f, "start phase=%u child=%u job=%s\n", seg[22], u32(1200), job);
    std::fflush(f);
    std::fclose(std::fopen((out + ".ready").c_str(), "w"));
    // The writer's process stays until its parent reaps it; its segment is
    // gone by then, the mapping still shows what it held last.
    for (int i = 0; i < 3000 && kill(static_cast<pid_t>(pid), 0) == 0; i++) {
        std::string path = "/dev/shm" + name;
        if (access(path.c_str(), F_OK) != 0)
            break;
        usleep(10000);
    }
    std::fprintf(f, "end phase=%u child=%u\n", seg[22], u32(1200));
    std::fclose(f);
    munmap(map, 1208);
    return 0;
}
