// Storage types from storage.cfg: its section headers, nothing else.
#include "restore/storage_type.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>

#include "common/owned.h"
#include "common/text.h"

namespace {

const size_t kMaxFile = 1 << 20;  // storage.cfg of a large cluster is a few KiB

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

int32_t storage_type(const char *pve_dir, const char *storage, char *ret_type, size_t type_size) {
    if (type_size > 0) ret_type[0] = '\0';
    char path[1100];
    put_text(path, sizeof path, "%s/storage.cfg", pve_dir);
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) return -1;
    std::unique_ptr<char[]> text(new (std::nothrow) char[kMaxFile + 1]);
    if (!text) return -1;
    size_t len = 0;
    while (len < kMaxFile) {
        ssize_t n = read(fd.get(), text.get() + len, kMaxFile - len);
        if (n <= 0) break;
        len += static_cast<size_t>(n);
    }
    text[len] = '\0';
    // Section headers start at the beginning of a line: "lvmthin: local-lvm";
    // the properties below them are indented.
    for (char *line = text.get(); line != nullptr && *line != '\0';) {
        char *nl = strchr(line, '\n');
        if (nl != nullptr) *nl = '\0';
        char *colon = strchr(line, ':');
        if (colon != nullptr && !is_blank(line[0]) && line[0] != '#') {
            char *id = colon + 1;
            while (is_blank(*id)) id++;
            char *end = id + strlen(id);
            while (end > id && is_blank(end[-1])) end--;
            if (static_cast<size_t>(end - id) == strlen(storage) && strncmp(id, storage, strlen(storage)) == 0) {
                copy_cut(ret_type, type_size, line, static_cast<size_t>(colon - line));
                return 0;
            }
        }
        line = nl != nullptr ? nl + 1 : nullptr;
    }
    return -1;
}
