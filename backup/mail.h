// Mail through the host's sendmail, which every Proxmox VE node has (its
// postfix delivers root's mail, or relays it).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The sendmail program: $VLT_SENDMAIL, or "/usr/sbin/sendmail" when that
// is unset or empty.
const char *sendmail_path();

// How long sendmail may take (seconds): 60. Tests shorten it.
extern uint32_t mail_time_limit_seconds;

// At most this many addresses in a list.
enum { MAIL_MAX_ADDRESSES = 32 };

// Checks a list of mail addresses separated by commas or blanks: at least
// one, at most MAIL_MAX_ADDRESSES, each a word of printable ASCII without
// quotes, angle brackets, parentheses, semicolons or backslashes that does
// not start with '-' (each becomes an argument of sendmail and part of
// the To: header). 0, or -1 with "'<word>' is not a mail address" or
// "no mail address" in msg.
[[nodiscard]] int32_t check_mail_addresses(const char *list, char *msg, size_t msg_size);

// The mail as sendmail reads it: To: with the addresses joined by ", ",
// the Subject: (characters outside printable ASCII become '?'), headers
// marking it automatic and plain UTF-8 text, an empty line, the body.
std::string compose_mail(const char *addresses, const char *subject, const std::string &body);

// Sends the mail: "<sendmail> -oi -- <address>..." with compose_mail's
// text on its standard input, for at most mail_time_limit_seconds. 0, or
// -1 with the reason in msg: the list is invalid, sendmail is missing,
// it ran out of time, or it exited non-zero (its status and output).
[[nodiscard]] int32_t send_mail(const char *addresses, const char *subject, const std::string &body, char *msg,
                                size_t msg_size);
