// storage.cfg as Proxmox writes it, and the refusals before the freeze:
// shared storages, storages that are not defined, volumes that are not raw.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "backup/preflight.h"
#include "backup/storage_cfg.h"
#include "fake_tools.h"

namespace {

const char kProxmoxFile[] =
    "dir: local\n"
    "\tpath /var/lib/vz\n"
    "\tcontent iso,vztmpl,backup\n"
    "\n"
    "lvmthin: local-lvm\n"
    "\tthinpool data\n"
    "\tvgname pve\n"
    "\tcontent rootdir,images\n"
    "\n"
    "# the SAN, seen by every node\n"
    "lvm: san\n"
    "\tvgname vg_san\n"
    "\tbase iscsi-lun:0.0.1.scsi-36001405\n"
    "\tcontent images\n"
    "\tshared 1\n"
    "\tsaferemove 0\n"
    "\n"
    "lvm: thick\n"
    "\tvgname pve2\n"
    "\tshared 0\n"
    "\tnodes pve1,pve2\n";

class StorageCfg : public ::testing::Test {
protected:
    int32_t parse(const std::string &text) { return parse_storage_cfg(text.data(), text.size(), cfg_.get(), msg_, sizeof msg_); }
    // The message of a text that must not parse.
    std::string error_of(const std::string &text)
    {
        EXPECT_EQ(parse(text), -1) << text;
        return msg_;
    }

    std::unique_ptr<storage_cfg> cfg_{new storage_cfg};
    char msg_[512] = "";
};

TEST_F(StorageCfg, ReadsProxmoxsSections)
{
    ASSERT_EQ(parse(kProxmoxFile), 0) << msg_;
    ASSERT_EQ(cfg_->count, 4u);
    const storage_def *thin = find_storage_def(cfg_.get(), "local-lvm");
    ASSERT_NE(thin, nullptr);
    EXPECT_STREQ(thin->type, "lvmthin");
    EXPECT_STREQ(thin->vgname, "pve");
    EXPECT_STREQ(thin->thinpool, "data");
    EXPECT_EQ(thin->shared, 0);
    const storage_def *san = find_storage_def(cfg_.get(), "san");
    ASSERT_NE(san, nullptr);
    EXPECT_EQ(san->shared, 1);
    EXPECT_STREQ(san->vgname, "vg_san");
    EXPECT_EQ(find_storage_def(cfg_.get(), "thick")->shared, 0);
    EXPECT_EQ(find_storage_def(cfg_.get(), "nowhere"), nullptr);
    EXPECT_EQ(find_storage_def(cfg_.get(), "local")->shared, 0);
}

TEST_F(StorageCfg, BooleanSpellingsBlanksAndLineEnds)
{
    for (const char *on : {"1", "yes", "on", "true", ""}) {
        ASSERT_EQ(parse(std::string("lvm: s\n\tshared ") + on + "\n"), 0) << on << ": " << msg_;
        EXPECT_EQ(cfg_->rows[0].shared, 1) << on;
    }
    for (const char *off : {"0", "no", "off", "false"}) {
        ASSERT_EQ(parse(std::string("lvm: s\n\tshared ") + off + "\n"), 0) << off;
        EXPECT_EQ(cfg_->rows[0].shared, 0) << off;
    }
    // CRLF line ends, spaces instead of tabs, blank lines of blanks, no
    // final newline, and an empty file.
    ASSERT_EQ(parse("lvm:  s  \r\n   shared   1  \r\n \t \r\nlvm: t\r\n  vgname x"), 0) << msg_;
    ASSERT_EQ(cfg_->count, 2u);
    EXPECT_EQ(cfg_->rows[0].shared, 1);
    EXPECT_STREQ(cfg_->rows[1].vgname, "x");
    ASSERT_EQ(parse(""), 0);
    EXPECT_EQ(cfg_->count, 0u);
}

TEST_F(StorageCfg, EveryLineIsCheckedWithItsNumber)
{
    EXPECT_EQ(error_of("\tshared 1\n"), "line 1: a property outside a section");
    EXPECT_EQ(error_of("lvm: a\n\tshared 1\nlvm: b\n"), "line 3: expected an indented property or an empty line");
    EXPECT_EQ(error_of("lvm a\n"), "line 1: expected a section header '<type>: <storage>'");
    EXPECT_EQ(error_of("lvm: a b\n"), "line 1: invalid storage id in the section header");
    EXPECT_EQ(error_of("lvm: \n"), "line 1: invalid storage id in the section header");
    EXPECT_EQ(error_of("lvm: 1abc\n"), "line 1: invalid storage id in the section header");
    EXPECT_EQ(error_of("lvm: a-\n"), "line 1: invalid storage id in the section header");
    EXPECT_EQ(error_of("lvm: a/b\n"), "line 1: invalid storage id in the section header");
    EXPECT_EQ(error_of(": a\n"), "line 1: invalid storage type in the section header");
    EXPECT_EQ(error_of("LVM: a\n"), "line 1: invalid storage type in the section header");
    EXPECT_EQ(error_of("lvm: a\n\nlvm: a\n"), "line 3: storage 'a' is defined twice");
    EXPECT_EQ(error_of("lvm: a\n\tshared maybe\n"), "line 2: 'shared' must be 0 or 1");
    EXPECT_EQ(error_of("lvm: a\n\tshared 0\n\tshared 1\n"), "line 3: 'shared' given twice in one section");
    EXPECT_EQ(error_of("lvm: a\n\tvgname\n"), "line 2: invalid value for 'vgname'");
    EXPECT_EQ(error_of("lvm: a\n\tvgname " + std::string(128, 'v') + "\n"), "line 2: invalid value for 'vgname'");
    EXPECT_EQ(error_of(std::string("lvm: a\n\tvgname x\0y\n", 20)), "line 2: a NUL byte");
    std::string many;
    for (int i = 0; i <= STORAGE_CFG_MAX_STORAGES; i++)
        many += "dir: s" + std::to_string(i) + "\n\n";
    EXPECT_EQ(error_of(many), "line 513: more than 256 storages");
    // An id of 127 characters is the longest.
    ASSERT_EQ(parse("lvm: a" + std::string(126, 'b') + "\n"), 0) << msg_;
    EXPECT_EQ(error_of("lvm: a" + std::string(127, 'b') + "\n"), "line 1: invalid storage id in the section header");
}

TEST_F(StorageCfg, LoadingTheFile)
{
    vlt_test::temp_dir dir("vlt_storage_cfg");
    std::string path = dir.path() + "/storage.cfg";
    EXPECT_EQ(load_storage_cfg(path.c_str(), cfg_.get(), msg_, sizeof msg_), 1);
    EXPECT_EQ(std::string(msg_), "cannot read " + path + ": No such file or directory");

    vlt_test::write_file(path, kProxmoxFile);
    ASSERT_EQ(load_storage_cfg(path.c_str(), cfg_.get(), msg_, sizeof msg_), 0) << msg_;
    EXPECT_EQ(cfg_->count, 4u);

    vlt_test::write_file(path, "lvm: a\nbroken\n");
    EXPECT_EQ(load_storage_cfg(path.c_str(), cfg_.get(), msg_, sizeof msg_), -1);
    EXPECT_EQ(std::string(msg_), "cannot parse " + path + ": line 2: expected an indented property or an empty line");

    unlink(path.c_str());
    mkdir(path.c_str(), 0755);
    EXPECT_EQ(load_storage_cfg(path.c_str(), cfg_.get(), msg_, sizeof msg_), -1);
    EXPECT_EQ(std::string(msg_), "cannot read " + path + ": Is a directory");
    rmdir(path.c_str());

    vlt_test::write_file(path, std::string(STORAGE_CFG_MAX_BYTES + 1, '#'));
    EXPECT_EQ(load_storage_cfg(path.c_str(), cfg_.get(), msg_, sizeof msg_), -1);
    EXPECT_EQ(std::string(msg_), "cannot read " + path + ": larger than 1048576 bytes");
}

class Preflight : public ::testing::Test {
protected:
    void add(const char *slot, const char *storage, const char *volume)
    {
        vm_volume &v = selection_.rows[selection_.count];
        resolved_disk &row = disks_.rows[disks_.count++];
        memset(&v, 0, sizeof v);
        strcpy(v.slot, slot);
        strcpy(v.storage, storage);
        strcpy(v.volume, volume);
        selection_.count++;
        row.volume = v;
        row.status = RESOLVED_LVM;
    }

    vlt_test::temp_dir dir_{"vlt_preflight"};
    vm_volume_list selection_{};
    resolved_disk_list disks_{};
    char msg_[1024] = "";
};

TEST_F(Preflight, OnlyRawVolumesAreBackedUp)
{
    const char *config =
        "scsi0: local-lvm:vm-101-disk-0,size=4M\n"
        "scsi1: thick:vm-101-disk-2.qcow2,size=4M\n"
        "virtio0: local-lvm:vm-101-disk-3,format=qcow2,size=4M\n"
        "virtio1: local-lvm:vm-101-disk-4,format=raw,size=4M\n";
    add("scsi0", "local-lvm", "vm-101-disk-0");
    add("virtio1", "local-lvm", "vm-101-disk-4");
    EXPECT_EQ(check_raw_volumes(config, &selection_, msg_, sizeof msg_), 0);
    EXPECT_STREQ(msg_, "");
    add("scsi1", "thick", "vm-101-disk-2.qcow2");
    add("virtio0", "local-lvm", "vm-101-disk-3");
    EXPECT_EQ(check_raw_volumes(config, &selection_, msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_,
                 "scsi1 (thick:vm-101-disk-2.qcow2) is a qcow2 image: only raw volumes can be backed up; "
                 "virtio0 (local-lvm:vm-101-disk-3) has format=qcow2: only raw volumes can be backed up");
}

TEST_F(Preflight, SharedAndUnknownStoragesAreRefused)
{
    add("scsi0", "local-lvm", "vm-101-disk-0");
    add("scsi1", "thick", "vm-101-disk-1");
    const std::string pve = dir_.path();
    const std::string cfg = pve + "/storage.cfg";

    // No storage.cfg: the check is skipped, and the caller warns.
    EXPECT_EQ(check_storage_definitions(pve.c_str(), &disks_, msg_, sizeof msg_), 1);
    EXPECT_EQ(std::string(msg_), cfg + " does not exist: the check for shared storages was skipped (is the "
                                       "cluster file system mounted?)");

    vlt_test::write_file(cfg, kProxmoxFile);
    EXPECT_EQ(check_storage_definitions(pve.c_str(), &disks_, msg_, sizeof msg_), 0) << msg_;

    add("sata0", "san", "vm-101-disk-2");
    add("sata1", "gone", "vm-101-disk-3");
    EXPECT_EQ(check_storage_definitions(pve.c_str(), &disks_, msg_, sizeof msg_), -1);
    EXPECT_EQ(std::string(msg_), "sata0: storage 'san' is shared LVM: taking snapshots there is not safe; "
                                 "sata1: storage 'gone' is not defined in " + cfg);

    vlt_test::write_file(cfg, "lvm: x\n\tshared\tperhaps\n");
    EXPECT_EQ(check_storage_definitions(pve.c_str(), &disks_, msg_, sizeof msg_), -1);
    EXPECT_EQ(std::string(msg_), "cannot parse " + cfg + ": line 2: 'shared' must be 0 or 1");
}

}  // namespace
