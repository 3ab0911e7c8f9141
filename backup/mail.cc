// Mail through sendmail: the address check, the message and the call.
#include "backup/mail.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/owned.h"
#include "common/runner.h"
#include "common/text.h"

uint32_t mail_time_limit_seconds = 60;

namespace {

bool is_separator(char c) { return c == ',' || c == ' ' || c == '\t'; }

// The words of a list, without checking them.
std::vector<std::string> split_addresses(const char *list)
{
    std::vector<std::string> words;
    const char *p = list;
    for (;;) {
        while (is_separator(*p))
            p++;
        if (*p == '\0')
            return words;
        const char *start = p;
        while (*p != '\0' && !is_separator(*p))
            p++;
        words.emplace_back(start, static_cast<size_t>(p - start));
    }
}

bool valid_address(const std::string &word)
{
    if (word.empty() || word[0] == '-' || word.size() > 254)
        return false;
    for (char c : word) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || strchr("\"<>();\\", c) != nullptr)
            return false;
    }
    return true;
}

// Writes the whole text to fd; false on an error.
bool write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

const char *sendmail_path()
{
    const char *env = getenv("VLT_SENDMAIL");
    return env != nullptr && env[0] != '\0' ? env : "/usr/sbin/sendmail";
}

int32_t check_mail_addresses(const char *list, char *msg, size_t msg_size)
{
    std::vector<std::string> words = split_addresses(list != nullptr ? list : "");
    if (words.empty()) {
        put_text(msg, msg_size, "no mail address");
        return -1;
    }
    for (const std::string &w : words) {
        if (!valid_address(w)) {
            put_text(msg, msg_size, "'%.200s' is not a mail address", w.c_str());
            return -1;
        }
    }
    if (words.size() > MAIL_MAX_ADDRESSES) {
        put_text(msg, msg_size, "more than %d mail addresses", static_cast<int>(MAIL_MAX_ADDRESSES));
        return -1;
    }
    return 0;
}

std::string compose_mail(const char *addresses, const char *subject, const std::string &body)
{
    std::string text = "To: ";
    std::vector<std::string> words = split_addresses(addresses);
    for (size_t i = 0; i < words.size(); i++)
        text += (i > 0 ? ", " : "") + words[i];
    text += "\nSubject: ";
    for (const char *c = subject; *c != '\0'; c++) {
        unsigned char u = static_cast<unsigned char>(*c);
        text += u >= 0x20 && u < 0x7F ? *c : '?';
    }
    text += "\nAuto-Submitted: auto-generated\n"
            "MIME-Version: 1.0\n"
            "Content-Type: text/plain; charset=UTF-8\n"
            "Content-Transfer-Encoding: 8bit\n"
            "\n";
    text += body;
    if (!body.empty() && body.back() != '\n')
        text += '\n';
    return text;
}

int32_t send_mail(const char *addresses, const char *subject, const std::string &body, char *msg, size_t msg_size)
{
    if (check_mail_addresses(addresses, msg, msg_size) != 0)
        return -1;
    // The message waits in memory, not on a file system: nothing is left
    // behind whatever happens.
    unique_fd input(memfd_create("vlt_proxmox_mail", MFD_CLOEXEC));
    if (input.get() < 0 || !write_all(input.get(), compose_mail(addresses, subject, body)) ||
        lseek(input.get(), 0, SEEK_SET) != 0) {
        put_text(msg, msg_size, "cannot hold the message: %s", strerror(errno));
        return -1;
    }
    const char *program = sendmail_path();
    std::vector<std::string> words = split_addresses(addresses);
    std::vector<const char *> argv = {program, "-oi", "--"};
    for (const std::string &w : words)
        argv.push_back(w.c_str());
    argv.push_back(nullptr);

    char output[512] = "";
    command_result result;
    if (run_command_input(argv.data(), mail_time_limit_seconds, input.get(), output, sizeof output, &result) != 0 ||
        result.exit_code == 127) {
        put_text(msg, msg_size, "%s could not be run (is a mail transfer agent installed?)", program);
        return -1;
    }
    trim_trailing_space(output);
    if (result.timed_out) {
        put_text(msg, msg_size, "%s did not finish within %u s", program, mail_time_limit_seconds);
        return -1;
    }
    if (result.exit_code != 0) {
        put_text(msg, msg_size, "%s exited with %d: %.300s", program, static_cast<int>(result.exit_code),
                 output[0] != '\0' ? output : "no output");
        return -1;
    }
    return 0;
}
