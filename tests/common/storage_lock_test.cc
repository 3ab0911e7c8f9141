// Proxmox's storage locks: taken once each, waited for while another
// process holds them and given up on at the limit, never taken twice by
// one process, and the signal handler's form.
#include "common/storage_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/support/test_util.h"

namespace {

// True when a process other than this one could take the lock now.
bool free_for_others(const std::string &path)
{
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Another process holding a lock until it is let go (or killed).
class other_holder {
public:
    explicit other_holder(const std::string &path)
    {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(go_), 0);
        pid_ = fork();
        if (pid_ == 0) {
            close(go_[1]);
            close(ready[0]);
            int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            char c = fd >= 0 && flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
            (void)!write(ready[1], &c, 1);
            (void)!read(go_[0], &c, 1);
            _exit(0);
        }
        close(ready[1]);
        close(go_[0]);
        char c = 0;
        EXPECT_EQ(read(ready[0], &c, 1), 1);
        EXPECT_EQ(c, 'y');
        close(ready[0]);
    }
    ~other_holder() { let_go(); }
    void let_go()
    {
        if (go_[1] >= 0)
            close(go_[1]);
        go_[1] = -1;
        reap();
    }
    // Lets go from a child of its own after ms, while the caller waits.
    void let_go_after(int ms)
    {
        pid_t timer = fork();
        if (timer == 0) {
            usleep(static_cast<useconds_t>(ms) * 1000);
            close(go_[1]);
            _exit(0);
        }
        close(go_[1]);  // our copy: the timer's is the last
        go_[1] = -1;
        timer_ = timer;
    }
    void reap()
    {
        int status;
        if (timer_ > 0)
            waitpid(timer_, &status, 0);
        if (pid_ > 0)
            waitpid(pid_, &status, 0);
        pid_ = timer_ = -1;
    }

private:
    pid_t pid_ = -1;
    pid_t timer_ = -1;
    int go_[2] = {-1, -1};
};

class StorageLock : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = tmp_.path() + "/locks";
        pve_lock_dir = dir_.c_str();
    }
    void TearDown() override
    {
        pve_lock_dir = nullptr;
        storage_lock_wait_seconds = 60;
    }
    std::string lock_file(const std::string &id) const { return dir_ + "/pve-storage-" + id; }

    vlt_test::temp_dir tmp_{"vlt_storage_lock"};
    std::string dir_;
    char msg_[512] = "";
};

TEST_F(StorageLock, TakesEveryStorageOnceAndGivesThemBack)
{
    const char *ids[] = {"thick", "local-lvm", "thick"};
    {
        storage_locks locks;
        ASSERT_EQ(locks.take(ids, 3, msg_, sizeof msg_), 0) << msg_;
        EXPECT_STREQ(msg_, "");
        // the directory was made, the files are Proxmox's names
        EXPECT_FALSE(free_for_others(lock_file("thick")));
        EXPECT_FALSE(free_for_others(lock_file("local-lvm")));
        locks.release();
        EXPECT_TRUE(free_for_others(lock_file("thick")));
        ASSERT_EQ(locks.take(ids, 1, msg_, sizeof msg_), 0) << msg_;
    }
    // the destructor gives back what is still held
    EXPECT_TRUE(free_for_others(lock_file("thick")));
}

TEST_F(StorageLock, WaitsForAnotherTaskAndGivesUpAtTheLimit)
{
    mkdir(dir_.c_str(), 0755);
    storage_lock_wait_seconds = 30;
    {
        other_holder other(lock_file("local-lvm"));
        other.let_go_after(300);
        storage_locks locks;
        const char *ids[] = {"local-lvm"};
        EXPECT_EQ(locks.take(ids, 1, msg_, sizeof msg_), 0) << msg_;
        other.reap();
    }

    // Held for good: nothing is taken, not even the storage that was free.
    storage_lock_wait_seconds = 1;
    other_holder other(lock_file("local-lvm"));
    storage_locks locks;
    const char *ids[] = {"a-free-one", "local-lvm"};
    EXPECT_EQ(locks.take(ids, 2, msg_, sizeof msg_), -1);
    EXPECT_EQ(std::string(msg_), "could not get the lock of storage 'local-lvm' within 1 s (" + lock_file("local-lvm") +
                                     " is held by another task)");
    EXPECT_TRUE(free_for_others(lock_file("a-free-one")));
}

TEST_F(StorageLock, ALockThisProcessHoldsIsNotTakenAgain)
{
    storage_lock_wait_seconds = 1;
    storage_locks outer;
    ASSERT_EQ(outer.take_one("local-lvm", msg_, sizeof msg_), 0) << msg_;
    {
        // A second open of the file would wait for ourselves.
        storage_locks inner;
        EXPECT_EQ(inner.take_one("local-lvm", msg_, sizeof msg_), 0) << msg_;
    }
    EXPECT_FALSE(free_for_others(lock_file("local-lvm"))) << "the inner owner gave back the outer's lock";

    // The handler's form: -1 for a lock the main flow holds, a descriptor
    // otherwise.
    EXPECT_EQ(storage_lock_in_handler("local-lvm", 1), -1);
    int fd = storage_lock_in_handler("thick", 1);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(free_for_others(lock_file("thick")));
    storage_unlock_in_handler(fd);
    EXPECT_TRUE(free_for_others(lock_file("thick")));
    // one another process holds: given up after its time
    other_holder other(lock_file("thick"));
    EXPECT_EQ(storage_lock_in_handler("thick", 0), -1);
}

TEST_F(StorageLock, DirectoryFromTheEnvironmentAndOddIds)
{
    pve_lock_dir = nullptr;
    std::string env_dir = tmp_.path() + "/from-env/pve-manager";
    setenv("VLT_PVE_LOCK_DIR", env_dir.c_str(), 1);
    {
        storage_locks locks;
        EXPECT_EQ(locks.take_one("local-lvm", msg_, sizeof msg_), 0) << msg_;
        EXPECT_FALSE(free_for_others(env_dir + "/pve-storage-local-lvm"));
    }
    unsetenv("VLT_PVE_LOCK_DIR");

    pve_lock_dir = dir_.c_str();
    storage_locks locks;
    EXPECT_EQ(locks.take_one("../escape", msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "invalid storage id '../escape'");
}

}  // namespace
