// What a backup set means for the disks of its configuration, the times an
// operator reads, and the storage types that decide --assume-zeroed.
#include "restore/disk_plan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "restore/storage_type.h"
#include "restore/utc_time.h"
#include "tests/restore_parts/parts_util.h"

using parts_test::scratch_dir;

namespace {

// A set holding runs of the given slots.
backup_job_set set_of(std::initializer_list<const char *> slots) {
    backup_job_set set{};
    for (const char *slot : slots) {
        job_slot &s = set.slots[set.slot_count++];
        strcpy(s.name, slot);
        s.header_path = "/b/run.infb";
        s.source_size = 1000;
    }
    set.vmconfig_header_path = "/b/conf.infb";
    set.host = "pve1";
    return set;
}

struct planned {
    vm_volume_list volumes;
    backup_record record;
    disk_plan plan;
    std::string fates;  // "<slot>=<fate> ..."
};

planned plan(const char *config, const backup_job_set &set) {
    planned p;
    EXPECT_EQ(parse_vm_config(config, &p.volumes, nullptr, 0), 0) << config;
    read_backup_record(config, &p.record);
    plan_disks(&p.volumes, &p.record, &set, &p.plan);
    const char *names[] = {"restore", "missing", "left-out", "backup-off", "not-backed-up"};
    for (uint64_t i = 0; i < p.volumes.count; i++)
        p.fates += std::string(p.fates.empty() ? "" : " ") + p.volumes.rows[i].slot + "=" + names[p.plan.fate[i]];
    return p;
}

const char kDisks[] =
    "efidisk0: l:vm-1-disk-9,efitype=4m\n"
    "scsi0: l:vm-1-disk-0\n"
    "scsi1: l:vm-1-disk-1\n"
    "scsi2: l:vm-1-disk-2,backup=0\n";

TEST(DiskPlan, WithTheBackupsRecord) {
    std::string config = std::string(kDisks) + "#vlt_proxmox_backup: disks=efidisk0,scsi0,scsi1 failed=scsi1\n";
    // scsi1 failed: even a run of that slot in the set (another backup's)
    // leaves it missing; scsi2 was left out by its backup=0.
    // The plan points at the set's runs: the set must outlive it.
    const backup_job_set set = set_of({"efidisk0", "scsi0", "scsi1"});
    planned p = plan(config.c_str(), set);
    EXPECT_EQ(p.fates, "efidisk0=restore scsi0=restore scsi1=missing scsi2=backup-off");
    EXPECT_EQ(p.plan.restore_count, 2u);
    EXPECT_EQ(p.plan.missing_count, 1u);
    EXPECT_EQ(p.plan.restore_bytes, 2000u);
    EXPECT_STREQ(p.plan.run[1]->name, "scsi0");
    char list[128];
    plan_slots(&p.volumes, &p.plan, DISK_MISSING, list, sizeof list);
    EXPECT_STREQ(list, "scsi1");
    plan_slots(&p.volumes, &p.plan, DISK_LEFT_OUT, list, sizeof list);
    EXPECT_STREQ(list, "-");

    // Taken with --disk: the others were left out, whatever runs are near.
    config = std::string(kDisks) + "#vlt_proxmox_backup: disks=scsi0\n";
    p = plan(config.c_str(), set_of({"scsi0", "scsi1"}));
    EXPECT_EQ(p.fates, "efidisk0=left-out scsi0=restore scsi1=left-out scsi2=backup-off");
    EXPECT_EQ(p.plan.missing_count, 0u);
    // A disk the backup took without a run in the set is missing.
    p = plan(config.c_str(), set_of({}));
    EXPECT_EQ(p.fates, "efidisk0=left-out scsi0=missing scsi1=left-out scsi2=backup-off");
}

TEST(DiskPlan, BackupsMadeBeforeTheRecord) {
    // Every disk was taken then, backup=0 or not, except the EFI disk.
    planned p = plan(kDisks, set_of({"scsi0", "scsi1", "scsi2"}));
    EXPECT_EQ(p.fates, "efidisk0=not-backed-up scsi0=restore scsi1=restore scsi2=restore");
    EXPECT_EQ(p.plan.missing_count, 0u);
    p = plan(kDisks, set_of({"scsi0", "efidisk0"}));
    EXPECT_EQ(p.fates, "efidisk0=restore scsi0=restore scsi1=missing scsi2=missing");
    char list[8];
    plan_slots(&p.volumes, &p.plan, DISK_MISSING, list, sizeof list);
    EXPECT_STREQ(list, "scsi1,s");  // cut to the buffer
}

TEST(UtcTime, WrittenAsIso8601) {
    char buf[UTC_TIME_SIZE];
    format_utc_time(0, buf);
    EXPECT_STREQ(buf, "1970-01-01T00:00:00Z");
    format_utc_time(1767312000, buf);
    EXPECT_STREQ(buf, "2026-01-02T00:00:00Z");
    format_utc_time(1709251199, buf);
    EXPECT_STREQ(buf, "2024-02-29T23:59:59Z");
    // A time no calendar year of four digits holds, from a damaged header.
    format_utc_time(INT64_MAX, buf);
    EXPECT_STREQ(buf, "@9223372036854775807");
    format_utc_time(-62167219201, buf);  // the second before year 0
    EXPECT_STREQ(buf, "@-62167219201");

    // Years before 1000 keep their four digits.
    format_utc_time(-30610224000, buf);
    EXPECT_STREQ(buf, "1000-01-01T00:00:00Z");
    format_utc_time(-30610224001, buf);
    EXPECT_STREQ(buf, "0999-12-31T23:59:59Z");
    format_utc_time(-62167219200, buf);
    EXPECT_STREQ(buf, "0000-01-01T00:00:00Z");

    // What is written is read back as the same second.
    for (int64_t t : {int64_t{0}, int64_t{951782400}, int64_t{1767312000}, int64_t{4102444799},
                      int64_t{-60904915200}, int64_t{-62167219200}, int64_t{253402300799}}) {
        format_utc_time(t, buf);
        int64_t back = -1;
        ASSERT_EQ(parse_utc_time(buf, &back), 0) << buf;
        EXPECT_EQ(back, t) << buf;
    }
}

TEST(StorageType, FromTheSectionHeadersOfStorageCfg) {
    scratch_dir pve;
    char type[64] = "x";
    EXPECT_EQ(storage_type(pve.path().c_str(), "local-lvm", type, sizeof type), -1);  // no file
    EXPECT_STREQ(type, "");
    ASSERT_TRUE(parts_test::write_file(pve.file("storage.cfg"),
                                       "dir: local\n"
                                       "\tpath /var/lib/vz\n"
                                       "\tcontent iso,vztmpl,backup\n"
                                       "\n"
                                       "lvmthin: local-lvm\n"
                                       "\tthinpool data\n"
                                       "\tvgname pve\n"
                                       "\n"
                                       "lvm: fast \n"
                                       "\tvgname fast\n"
                                       "\tshared 0\n"
                                       "# lvmthin: commented\n"
                                       "\tnodes: pve1\n"));
    EXPECT_EQ(storage_type(pve.path().c_str(), "local-lvm", type, sizeof type), 0);
    EXPECT_STREQ(type, "lvmthin");
    EXPECT_EQ(storage_type(pve.path().c_str(), "fast", type, sizeof type), 0);
    EXPECT_STREQ(type, "lvm");
    EXPECT_EQ(storage_type(pve.path().c_str(), "local", type, sizeof type), 0);
    EXPECT_STREQ(type, "dir");
    for (const char *none : {"local-lv", "commented", "pve1", "data", ""})
        EXPECT_EQ(storage_type(pve.path().c_str(), none, type, sizeof type), -1) << none;
}

}  // namespace
