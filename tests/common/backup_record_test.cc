// The backup's line in the stored configuration text: written after the
// text, read back whatever else the text holds.
#include "vmconfig/backup_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string appended(const std::string &text, std::vector<const char *> slots, std::vector<int32_t> failed,
                     size_t size = 4096) {
    std::string buf(size, 'x');
    memcpy(buf.data(), text.c_str(), text.size() + 1);
    if (append_backup_record(buf.data(), size, slots.data(), failed.data(), slots.size()) != 0) return "<no room>";
    return std::string(buf.c_str());
}

TEST(BackupRecord, AppendedAfterTheText) {
    EXPECT_EQ(appended("memory: 512\n", {"efidisk0", "scsi0"}, {0, 0}),
              "memory: 512\n#vlt_proxmox_backup: disks=efidisk0,scsi0\n");
    // A text without a final newline gets one first.
    EXPECT_EQ(appended("memory: 512", {"scsi0", "scsi1", "virtio2"}, {1, 0, 1}),
              "memory: 512\n#vlt_proxmox_backup: disks=scsi0,scsi1,virtio2 failed=scsi0,virtio2\n");
    EXPECT_EQ(appended("", {"scsi0"}, {0}), "#vlt_proxmox_backup: disks=scsi0\n");

    // "a\n" and the 33-byte line need 36 bytes with the terminator.
    EXPECT_EQ(appended("a\n", {"scsi0"}, {0}, 36), "a\n#vlt_proxmox_backup: disks=scsi0\n");
    EXPECT_EQ(appended("a\n", {"scsi0"}, {0}, 35), "<no room>");
}

TEST(BackupRecord, ReadBack) {
    backup_record rec;
    read_backup_record("agent: 1\nscsi0: a:b\n#vlt_proxmox_backup: disks=scsi0,efidisk0,scsi1 failed=scsi1\n", &rec);
    EXPECT_EQ(rec.found, 1);
    ASSERT_EQ(rec.count, 3u);
    EXPECT_STREQ(rec.slots[0], "scsi0");
    EXPECT_STREQ(rec.slots[1], "efidisk0");
    EXPECT_STREQ(rec.slots[2], "scsi1");
    EXPECT_EQ(rec.failed[0], 0);
    EXPECT_EQ(rec.failed[1], 0);
    EXPECT_EQ(rec.failed[2], 1);
    EXPECT_EQ(backup_record_find(&rec, "scsi1"), 2);
    EXPECT_EQ(backup_record_find(&rec, "scsi2"), -1);

    // Unknown words and names that are no disk slots are passed over; a
    // failed slot that was not taken is no slot of the record.
    read_backup_record("#vlt_proxmox_backup:  later=1 failed=virtio9 disks=sata1,net0,,scsi1a,ide2  \n", &rec);
    EXPECT_EQ(rec.found, 1);
    ASSERT_EQ(rec.count, 2u);
    EXPECT_STREQ(rec.slots[0], "sata1");
    EXPECT_STREQ(rec.slots[1], "ide2");
    EXPECT_EQ(rec.failed[0] + rec.failed[1], 0);

    // Only the main section counts, and a text without the line has none.
    read_backup_record("memory: 1\n[snap]\n#vlt_proxmox_backup: disks=scsi0\n", &rec);
    EXPECT_EQ(rec.found, 0);
    EXPECT_EQ(rec.count, 0u);
    read_backup_record(nullptr, &rec);
    EXPECT_EQ(rec.found, 0);

    // What is written is read back.
    std::string text = appended("scsi0: a:b\n", {"scsi0", "tpmstate0"}, {0, 1});
    read_backup_record(text.c_str(), &rec);
    ASSERT_EQ(rec.count, 2u);
    EXPECT_STREQ(rec.slots[1], "tpmstate0");
    EXPECT_EQ(rec.failed[1], 1);
}

}  // namespace
