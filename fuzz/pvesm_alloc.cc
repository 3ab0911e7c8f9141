// The output of pvesm alloc, as the allocation reads it: the volume id of
// the "successfully created '<storage>:<volume>'" line.
#include <cstring>

#include "fuzz/fuzz_util.h"
#include "restore/allocation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text = fuzz::text_of(data, size);
    // The allocation reads the output into this many bytes.
    if (text.size() > 1023)
        text.resize(1023);
    char storage[ALLOC_NAME_SIZE];
    char volume[ALLOC_NAME_SIZE];
    char err[ALLOC_MESSAGE_SIZE];
    int32_t rc = parse_alloc_output(text.c_str(), storage, sizeof storage, volume, sizeof volume, err,
                                    sizeof err);
    fuzz::require(rc == 0 || rc == -1, "parse_alloc_output returns 0 or -1");
    fuzz::require(fuzz::terminated(storage, sizeof storage) && fuzz::terminated(volume, sizeof volume) &&
                      fuzz::terminated(err, sizeof err),
                  "every buffer is terminated");
    if (rc != 0) {
        fuzz::require(err[0] != '\0' && storage[0] == '\0' && volume[0] == '\0',
                      "a failure says why and names nothing");
        return 0;
    }
    // The names go into pvesm command lines and into the new VM's
    // configuration as "<slot>: <storage>:<volume>".
    fuzz::require(storage[0] != '\0' && volume[0] != '\0', "storage and volume are never empty");
    fuzz::require(strchr(storage, ':') == nullptr, "the storage has no ':'");
    for (const char *p : {static_cast<const char *>(storage), static_cast<const char *>(volume)})
        for (; *p != '\0'; ++p)
            fuzz::require(static_cast<unsigned char>(*p) > ' ' && *p != 0x7f,
                          "the names hold no white space or control character");

    // Tiny buffers: the names are refused, never cut.
    char small_storage[4];
    char small_volume[4];
    rc = parse_alloc_output(text.c_str(), small_storage, sizeof small_storage, small_volume,
                            sizeof small_volume, err, sizeof err);
    fuzz::require(rc == -1 || (strlen(storage) < 4 && strlen(volume) < 4 &&
                               strcmp(small_storage, storage) == 0 && strcmp(small_volume, volume) == 0),
                  "names that do not fit are refused");
    return 0;
}
