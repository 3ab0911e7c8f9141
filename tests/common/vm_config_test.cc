// The disk-like volumes of VM configuration text.
#include "vmconfig/vm_config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct Parsed {
    int32_t rc;
    vm_volume_list list;
    char msg[512];
};

// The list is large; keep it off the test's stack frame.
Parsed *parse(const std::string &text) {
    static Parsed p;
    memset(&p, 0x5a, sizeof p);  // the parser must clear what it does not fill
    p.rc = parse_vm_config(text.c_str(), &p.list, p.msg, sizeof p.msg);
    return &p;
}

void expect_row(const vm_volume &row, const char *slot, const char *storage, const char *volume) {
    EXPECT_STREQ(slot, row.slot);
    EXPECT_STREQ(storage, row.storage);
    EXPECT_STREQ(volume, row.volume);
}

TEST(DiskSlot, PrefixesFollowedByDigitsOnly) {
    for (const char *yes : {"virtio0", "scsi1", "sata2", "ide0", "tpmstate0", "scsi30", "ide007",
                            "efidisk0"})
        EXPECT_EQ(1, is_disk_slot(yes)) << yes;
    for (const char *no : {"unused0", "scsihw", "scsi", "ide", "scsi1a", "scsi-1", "efidisk",
                           "Scsi0", " scsi0", "scsi0 ", "virtio", "net0", "", "tpmstate"})
        EXPECT_EQ(0, is_disk_slot(no)) << no;
    EXPECT_EQ(0, is_disk_slot(nullptr));
}

// The rule the configuration rewrite shares with the parser: a line names
// a disk-like volume exactly when the parser would list it.
TEST(DiskVolume, SameRuleAsTheParser) {
    const std::string cdrom_far = "local:iso/x.iso," + std::string(500, 'a') + ",media=cdrom";
    const struct {
        const char *key;
        std::string value;
    } lines[] = {
        {"scsi0", "local-lvm:vm-101-disk-0,size=4M"}, {"ide2", "local:iso/d.iso,media=cdrom"},
        {"ide2", "none,media=cdrom"},                 {"sata1", "/dev/sdb"},
        {"virtio3", ""},                              {"net0", "virtio=BC:24:11:2C:69:EC"},
        {"scsi1", "local:vm-1-disk-1, media=cdrom "},  {"ide0", cdrom_far},
        {"tpmstate0", "local-lvm:vm-101-disk-2"},     {"scsi", "local-lvm:x"},
        {"efidisk0", "local-lvm:vm-101-disk-3,efitype=4m"},
        {"sata2", "/dev/disk/by-path/pci-0000:00:1f.2-ata-1"},
        {"ide0", "local-lvm:vm-101-cloudinit,media=cdrom"},
    };
    for (const auto &line : lines) {
        vm_volume_list list;
        std::string text = std::string(line.key) + ": " + line.value + "\n";
        ASSERT_EQ(0, parse_vm_config(text.c_str(), &list, nullptr, 0)) << text;
        EXPECT_EQ(list.count, static_cast<uint64_t>(is_disk_volume(line.key, line.value.c_str()))) << text;
    }
    EXPECT_EQ(1, is_disk_volume("scsi0", "local-lvm:vm-101-disk-0"));
    EXPECT_EQ(0, is_disk_volume("ide2", "local:iso/d.iso,media=cdrom"));
    EXPECT_EQ(1, is_disk_volume("ide0", cdrom_far.c_str()));  // beyond 511 characters: not searched
    EXPECT_EQ(0, is_disk_volume(nullptr, "x:y"));
}

// Every kind of drive line: what is a volume to back up, what is read-only
// media, what names a host device, and what is nothing at all.
TEST(DriveKind, EveryKindOfDriveLine) {
    const std::string cdrom_far = "local:iso/x.iso," + std::string(500, 'a') + ",media=cdrom";
    const struct {
        const char *key;
        std::string value;
        int32_t kind;
    } lines[] = {
        {"scsi0", "local-lvm:vm-101-disk-0,size=4M", DRIVE_VOLUME},
        {"efidisk0", "local-lvm:vm-101-disk-1,efitype=4m,pre-enrolled-keys=1,size=528K", DRIVE_VOLUME},
        {"tpmstate0", "local-lvm:vm-101-disk-2,size=4M,version=v2.0", DRIVE_VOLUME},
        {"ide0", cdrom_far, DRIVE_VOLUME},  // beyond 511 characters: not searched
        {"ide2", "local:iso/d.iso,media=cdrom", DRIVE_CDROM},
        {"ide2", "none,media=cdrom", DRIVE_CDROM},
        {"ide2", "cdrom,media=cdrom", DRIVE_CDROM},
        {"ide1", "/dev/sr0,media=cdrom", DRIVE_CDROM},
        {"ide2", "local-lvm:vm-101-cloudinit,media=cdrom", DRIVE_CLOUDINIT},
        {"sata4", "dir:101/vm-101-cloudinit.qcow2,media=cdrom", DRIVE_CLOUDINIT},
        {"ide3", "local-lvm:vm-101-cloudinitx,media=cdrom", DRIVE_CDROM},
        {"ide3", "local-lvm:vm--cloudinit,media=cdrom", DRIVE_CDROM},
        {"ide3", "local-lvm:vm-101-cloudinit,size=4M", DRIVE_VOLUME},  // not a CD-ROM
        {"sata0", "/dev/disk/by-id/ata-ST2000DM008-2FR102_ZFL0XXXX,size=1953514584K", DRIVE_DEVICE},
        {"sata1", "/dev/disk/by-path/pci-0000:00:1f.2-ata-1", DRIVE_DEVICE},
        {"scsi3", "/dev/sdb", DRIVE_DEVICE},
        {"virtio3", "", DRIVE_OTHER},
        {"virtio3", "none", DRIVE_OTHER},
        {"net0", "virtio=BC:24:11:2C:69:EC", DRIVE_OTHER},
        {"unused0", "local-lvm:vm-101-disk-9", DRIVE_OTHER},
    };
    for (const auto &line : lines) {
        EXPECT_EQ(line.kind, drive_kind_of(line.key, line.value.c_str())) << line.key << ": " << line.value;
        EXPECT_EQ(line.kind == DRIVE_VOLUME, is_disk_volume(line.key, line.value.c_str()) == 1) << line.value;
    }
    EXPECT_EQ(DRIVE_OTHER, drive_kind_of(nullptr, "x:y"));
    EXPECT_EQ(DRIVE_OTHER, drive_kind_of("scsi0", nullptr));
}

TEST(DriveKind, BackupSwitchedOff) {
    for (const char *off : {"a:b,backup=0", "a:b,size=1G, backup=no ", "a:b,backup=OFF", "a:b,backup=false",
                            "backup=0,a:b"})
        EXPECT_EQ(1, drive_backup_off(off)) << off;
    for (const char *on : {"a:b", "a:b,backup=1", "a:b,backup=yes", "a:b,nobackup=0", "a:b,backup=00",
                           "a:b,backup=", ""})
        EXPECT_EQ(0, drive_backup_off(on)) << on;
    EXPECT_EQ(0, drive_backup_off(nullptr));

    Parsed *p = parse("scsi0: a:b,backup=0\nscsi1: c:d,backup=1\n");
    ASSERT_EQ(0, p->rc) << p->msg;
    ASSERT_EQ(2u, p->list.count);
    EXPECT_EQ(1, p->list.rows[0].no_backup);
    EXPECT_EQ(0, p->list.rows[1].no_backup);
}

struct seen_lines {
    std::string text;
    int stop_after = -1;
};

int remember_line(const char *key, const char *value, void *ctx) {
    auto *seen = static_cast<seen_lines *>(ctx);
    seen->text += std::string(key) + "=[" + value + "]\n";
    return --seen->stop_after == 0 ? 7 : 0;
}

TEST(ConfigLines, MainSectionKeysAndValuesTrimmed) {
    seen_lines seen;
    EXPECT_EQ(0, for_each_config_line("  agent : 1 \r\n\nno colon\nsata0:/dev/sdb\n"
                                      "description: a%3Ab\n[snap1]\nmemory: 4\n",
                                      remember_line, &seen));
    EXPECT_EQ(seen.text, "agent=[1]\nsata0=[/dev/sdb]\ndescription=[a%3Ab]\n");

    // The visitor's non-zero answer stops the walk and is returned.
    seen = seen_lines{};
    seen.stop_after = 1;
    EXPECT_EQ(7, for_each_config_line("a: 1\nb: 2\n", remember_line, &seen));
    EXPECT_EQ(seen.text, "a=[1]\n");

    // Long keys and values are cut.
    seen = seen_lines{};
    EXPECT_EQ(0, for_each_config_line((std::string(70, 'k') + ": " + std::string(1100, 'v')).c_str(),
                                      remember_line, &seen));
    EXPECT_EQ(seen.text, std::string(63, 'k') + "=[" + std::string(1023, 'v') + "]\n");
    EXPECT_EQ(0, for_each_config_line(nullptr, remember_line, &seen));
}

TEST(ParseVmConfig, TypicalConfiguration) {
    Parsed *p = parse(
        "boot: order=scsi0;ide2;net0\n"
        "cores: 2\n"
        "efidisk0: local-lvm:vm-101-disk-2,efitype=4m,size=4M\n"
        "ide2: none,media=cdrom\n"
        "ide0: local:iso/setup.iso,media=cdrom\n"
        "memory: 2048\n"
        "net0: virtio=BC:24:11:00:00:01,bridge=vmbr0\n"
        "scsi0: local-lvm:vm-101-disk-0,iothread=1,size=32G\n"
        "scsihw: virtio-scsi-single\n"
        "sata0: /dev/sdb\n"
        "virtio1:thin:vm-101-disk-1\n"
        "unused0: local-lvm:vm-101-disk-3\n"
        "tpmstate0: local-lvm:vm-101-disk-4,size=4M,version=v2.0\n");
    ASSERT_EQ(0, p->rc) << p->msg;
    EXPECT_STREQ("", p->msg);
    ASSERT_EQ(4u, p->list.count);
    expect_row(p->list.rows[0], "efidisk0", "local-lvm", "vm-101-disk-2");
    expect_row(p->list.rows[1], "scsi0", "local-lvm", "vm-101-disk-0");
    expect_row(p->list.rows[2], "virtio1", "thin", "vm-101-disk-1");
    expect_row(p->list.rows[3], "tpmstate0", "local-lvm", "vm-101-disk-4");
    expect_row(p->list.rows[4], "", "", "");  // unused rows are empty
    for (int i = 0; i < 4; i++) EXPECT_EQ(0, p->list.rows[i].no_backup);
}

TEST(ParseVmConfig, CdromOptionAndBlanks) {
    Parsed *p = parse(
        "  scsi0 :  local-lvm : vm-1-disk-0 , size=1G  \r\n"
        "ide1: local:iso/x.iso, media=cdrom \r\n"
        "ide3: local-lvm:vm-1-disk-9,media=cdromx\r\n"
        "\r\n"
        "\t\n"
        "sata1:   \n"
        "no colon line\n"
        "virtio2: none\n");
    ASSERT_EQ(0, p->rc) << p->msg;
    ASSERT_EQ(2u, p->list.count);
    expect_row(p->list.rows[0], "scsi0", "local-lvm", "vm-1-disk-0");
    expect_row(p->list.rows[1], "ide3", "local-lvm", "vm-1-disk-9");
}

TEST(ParseVmConfig, CdromOptionBeyond511CharactersIsNotExamined) {
    std::string pad(600, 'x');
    Parsed *p = parse("ide2: local:iso/a.iso,opt=" + pad + ",media=cdrom\n");
    ASSERT_EQ(0, p->rc) << p->msg;
    ASSERT_EQ(1u, p->list.count);
    expect_row(p->list.rows[0], "ide2", "local", "iso/a.iso");
}

TEST(ParseVmConfig, SectionEndsTheCurrentConfiguration) {
    Parsed *p = parse(
        "scsi0: local-lvm:vm-101-disk-0\n"
        "[snap1]\n"
        "scsi1: local-lvm:vm-101-disk-5\n");
    ASSERT_EQ(0, p->rc);
    ASSERT_EQ(1u, p->list.count);
    EXPECT_STREQ("scsi0", p->list.rows[0].slot);

    p = parse("   [PENDING]\nscsi1: a:b\n");
    EXPECT_EQ(0, p->rc);
    EXPECT_EQ(0u, p->list.count);
}

TEST(ParseVmConfig, MalformedReferences) {
    for (const char *line : {"scsi0: :vm-101-disk-0", "scsi0: local-lvm:", "scsi0: local-lvm:,size=1G",
                             "scsi0:  : ,x"}) {
        Parsed *p = parse(std::string("virtio0: a:b\n") + line + "\nvirtio1: c:d\n");
        EXPECT_EQ(-1, p->rc) << line;
        EXPECT_STREQ("scsi0: malformed volume reference", p->msg) << line;
        EXPECT_EQ(1u, p->list.count);  // the rows before the failing line
    }
}

TEST(ParseVmConfig, NameLengthLimits) {
    std::string s127(127, 's'), v127(127, 'v');
    Parsed *p = parse("scsi0: " + s127 + ":" + v127 + "\n");
    ASSERT_EQ(0, p->rc);
    expect_row(p->list.rows[0], "scsi0", s127.c_str(), v127.c_str());

    p = parse("scsi0: " + s127 + "x:" + v127 + "\n");
    EXPECT_EQ(-1, p->rc);
    EXPECT_STREQ("scsi0: storage or volume name too long", p->msg);
    p = parse("sata3: " + s127 + ":" + v127 + "x,size=1G\n");
    EXPECT_EQ(-1, p->rc);
    EXPECT_STREQ("sata3: storage or volume name too long", p->msg);

    std::string digits(30, '7');
    p = parse("scsi" + digits + ": a:b\n");
    ASSERT_EQ(0, p->rc);
    EXPECT_EQ("scsi" + digits.substr(0, 19), std::string(p->list.rows[0].slot));
}

TEST(ParseVmConfig, ThirtyTwoDisksAtMost) {
    std::string text;
    for (int i = 0; i < 32; i++)
        text += "scsi" + std::to_string(i) + ": lvm:vm-1-disk-" + std::to_string(i) + "\n";
    Parsed *p = parse(text);
    ASSERT_EQ(0, p->rc) << p->msg;
    ASSERT_EQ(32u, p->list.count);
    expect_row(p->list.rows[31], "scsi31", "lvm", "vm-1-disk-31");

    p = parse(text + "virtio0: lvm:vm-1-disk-99\n");
    EXPECT_EQ(-1, p->rc);
    EXPECT_STREQ("more than 32 disk-like volumes", p->msg);
    EXPECT_EQ(32u, p->list.count);
}

TEST(ParseVmConfig, InputSizeLimit) {
    std::string head = "scsi0: lvm:vm-1-disk-0\n";
    std::string text = head + "description: " + std::string(32767 - head.size() - 14, 'd') + "\n";
    ASSERT_EQ(32767u, text.size());
    Parsed *p = parse(text);
    ASSERT_EQ(0, p->rc) << p->msg;
    EXPECT_EQ(1u, p->list.count);

    p = parse(text + "x");
    EXPECT_EQ(-1, p->rc);
    EXPECT_STREQ("qm config output is too large (> 32767 bytes)", p->msg);
    EXPECT_EQ(0u, p->list.count);
}

TEST(ParseVmConfig, AbsentInputAndMessageBuffers) {
    vm_volume_list list;
    memset(&list, 0x5a, sizeof list);
    char msg[8] = "old";
    EXPECT_EQ(0, parse_vm_config(nullptr, &list, msg, sizeof msg));
    EXPECT_EQ(0u, list.count);
    EXPECT_STREQ("", msg);
    EXPECT_STREQ("", list.rows[0].slot);

    // A short buffer cuts the message; no buffer at all is allowed.
    EXPECT_EQ(-1, parse_vm_config("scsi0: :x\n", &list, msg, sizeof msg));
    EXPECT_STREQ("scsi0: ", msg);
    EXPECT_EQ(-1, parse_vm_config("scsi0: :x\n", &list, nullptr, 0));

    // The input is not modified.
    const std::string text = "scsi0: a:b,c\r\n[x]\n";
    std::string copy = text;
    EXPECT_EQ(0, parse_vm_config(copy.c_str(), &list, msg, sizeof msg));
    EXPECT_EQ(text, copy);
}

}  // namespace

namespace {

TEST(VmConfigValue, FirstLineOfTheKeyInTheMainSection) {
    const char *text =
        "agent: 1,freeze-fs-on-backup=0\n"
        "  lock :  backup  \r\n"
        "template: 1\n"
        "agentx: 0\n"
        "[snap1]\n"
        "parent: x\n";
    char value[64];
    EXPECT_EQ(vm_config_value(text, "agent", value, sizeof value), 1);
    EXPECT_STREQ(value, "1,freeze-fs-on-backup=0");
    // Blanks around the key and the value, and a carriage return, go.
    EXPECT_EQ(vm_config_value(text, "lock", value, sizeof value), 1);
    EXPECT_STREQ(value, "backup");
    // A key that only starts like another is not it; sections end the search.
    EXPECT_EQ(vm_config_value("agentx: 0\n", "agent", value, sizeof value), 0);
    EXPECT_STREQ(value, "");
    EXPECT_EQ(vm_config_value(text, "parent", value, sizeof value), 0);
    EXPECT_EQ(vm_config_value("[PENDING]\nlock: x\n", "lock", value, sizeof value), 0);
    // The value is cut to the buffer; an empty value is still there.
    char small[4];
    EXPECT_EQ(vm_config_value("description: abcdef", "description", small, sizeof small), 1);
    EXPECT_STREQ(small, "abc");
    EXPECT_EQ(vm_config_value("lock:\n", "lock", value, sizeof value), 1);
    EXPECT_STREQ(value, "");
    EXPECT_EQ(vm_config_value(nullptr, "lock", value, sizeof value), 0);
}

TEST(DriveOption, ReadsAnOptionOfASlotsDriveLine)
{
    const char *text =
        "scsi0: local-lvm:vm-101-disk-0,iothread=1,size=8M\n"
        "scsi1: thick:vm-101-disk-2.qcow2, format = qcow2 ,size=4M\n"
        "virtio1: local-lvm:vm-101-disk-3,format=raw\n"
        "scsi10: local-lvm:vm-101-disk-4,format=vmdk\n"
        "[snap1]\n"
        "scsi2: local-lvm:vm-101-disk-5,format=qcow2\n";
    char value[16];
    EXPECT_EQ(vm_config_drive_option(text, "scsi1", "format", value, sizeof value), 1);
    EXPECT_STREQ(value, "qcow2");
    EXPECT_EQ(vm_config_drive_option(text, "virtio1", "format", value, sizeof value), 1);
    EXPECT_STREQ(value, "raw");
    EXPECT_EQ(vm_config_drive_option(text, "scsi0", "size", value, sizeof value), 1);
    EXPECT_STREQ(value, "8M");
    // scsi1 is not scsi10; an option name is whole; the volume is no option
    EXPECT_EQ(vm_config_drive_option(text, "scsi10", "format", value, sizeof value), 1);
    EXPECT_STREQ(value, "vmdk");
    EXPECT_EQ(vm_config_drive_option(text, "scsi0", "format", value, sizeof value), 0);
    EXPECT_STREQ(value, "");
    EXPECT_EQ(vm_config_drive_option(text, "scsi0", "iothread=1", value, sizeof value), 0);
    EXPECT_EQ(vm_config_drive_option(text, "scsi0", "local-lvm", value, sizeof value), 0);
    // sections after the main one do not count
    EXPECT_EQ(vm_config_drive_option(text, "scsi2", "format", value, sizeof value), 0);
    // cut to the buffer
    char tiny[3];
    EXPECT_EQ(vm_config_drive_option(text, "scsi1", "format", tiny, sizeof tiny), 1);
    EXPECT_STREQ(tiny, "qc");
}

}  // namespace
