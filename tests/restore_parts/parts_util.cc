// Hand-made run headers, captured log lines and the fake pvesm of the
// restore-parts tests.
#include "tests/restore_parts/parts_util.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace parts_test {

namespace {

void put_le(std::string &b, size_t off, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[off + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

const char *const fake_pvesm_script =
    "#!/bin/sh\n"
    "{ printf '%s' \"$(basename \"$0\")\"; for a in \"$@\"; do printf ' [%s]' \"$a\"; done;"
    " printf '\\n'; } >> \"$FAKE_PVESM_LOG\"\n"
    "[ -n \"$FAKE_PREFIX\" ] && printf '%b' \"$FAKE_PREFIX\" >&2\n"
    "case \"$1\" in\n"
    "alloc) printf '%b' \"$FAKE_ALLOC_OUT\";"
    " [ -n \"$FAKE_ALLOC_KILL\" ] && kill -KILL $$;"
    " [ -n \"$FAKE_ALLOC_SLEEP\" ] && sleep \"$FAKE_ALLOC_SLEEP\";"
    " exit \"${FAKE_ALLOC_RC:-0}\" ;;\n"
    "path) if [ -n \"$FAKE_PATH_DIR\" ]; then echo \"$FAKE_PATH_DIR/${2#*:}\"; exit 0; fi;"
    " printf '%b' \"$FAKE_PATH_OUT\"; exit \"${FAKE_PATH_RC:-0}\" ;;\n"
    "free) if [ \"$2\" = \"$FAKE_FREE_FAIL\" ]; then printf 'cannot remove %s\\n' \"$2\";"
    " exit 1; fi;"
    " if [ \"$2\" = \"$FAKE_FREE_TASK_FAIL\" ]; then printf 'lvremove failed for %s\\n' \"$2\"; exit 0; fi;"
    " printf \"Removed volume '%s'\\n\" \"$2\"; exit 0 ;;\n"
    "esac\n"
    "exit 2\n";

}  // namespace


std::vector<std::string> stderr_capture::lines() {
    std::vector<std::string> out;
    std::istringstream in(text());
    std::string line;
    // "<time> [<program>] <LEVEL padded to 5> <message>"
    while (std::getline(in, line)) {
        size_t close = line.find("] ");
        if (close == std::string::npos || line.size() < close + 8) {
            out.push_back(line);
            continue;
        }
        std::string level = line.substr(close + 2, 5);
        while (!level.empty() && level.back() == ' ') level.pop_back();
        out.push_back(level + " " + line.substr(close + 8));
    }
    return out;
}

std::string header_bytes(const header_fields &f) {
    std::string b(f.file_size, '\0');
    std::string full(131072 > f.file_size ? 131072 : f.file_size, '\0');
    if (f.magic) full.replace(0, 4, "VLTH");
    put_le(full, 4, f.version, 2);
    put_le(full, 8, f.header_length, 4);
    put_le(full, 12, 2097152, 4);
    full[16] = static_cast<char>(f.run_kind);
    full[17] = 1;
    for (int i = 0; i < 16; ++i) {
        full[20 + i] = static_cast<char>(f.run_id_fill);
        full[36 + i] = static_cast<char>(f.parent_id_fill);
        full[52 + i] = static_cast<char>(f.run_id_fill);
    }
    put_le(full, 68, static_cast<uint64_t>(f.creation_time), 8);
    put_le(full, 76, f.source_size, 8);
    full.replace(132, 14, "1.0.2-alpha028");
    full.replace(164, f.host_name.size(), f.host_name);
    full.replace(484, f.job_name.size(), f.job_name);
    put_le(full, 25669, f.carried_value, 8);
    b.replace(0, f.file_size, full, 0, f.file_size);
    return b;
}

bool write_header(const std::string &path, const header_fields &f) {
    return write_file(path, header_bytes(f));
}

std::vector<std::string> dir_order(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        }
        closedir(d);
    }
    return names;
}

fake_pvesm::fake_pvesm() : path_(dir_.path()) {
    write_file(dir_.file("pvesm"), fake_pvesm_script, 0755);
    set("FAKE_PVESM_LOG", dir_.file("calls.log"));
}

fake_pvesm::~fake_pvesm() {
    for (const std::string &v : vars_) unsetenv(v.c_str());
}

void fake_pvesm::set(const char *name, const std::string &value) {
    setenv(name, value.c_str(), 1);
    vars_.push_back(name);
}

std::vector<std::string> fake_pvesm::calls() const {
    std::vector<std::string> out;
    std::ifstream in(dir_.file("calls.log"));
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

void fake_pvesm::hide() {
    mkdir(dir_.file("empty").c_str(), 0755);
    setenv("PATH", dir_.file("empty").c_str(), 1);
}

}  // namespace parts_test
