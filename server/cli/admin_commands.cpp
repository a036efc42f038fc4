#include "server/cli/admin_commands.h"

#include <pwd.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>

#include "server/admin/credentials.h"
#include "server/core/dates.h"

namespace pbs::cli {
namespace {

constexpr std::size_t kMaxPasswordFileBytes = 4096;

std::string ReadLine(std::istream& in) {
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// One line from the terminal with echo off (restored whatever happens).
std::string PromptHidden(const char* prompt) {
  std::cerr << prompt << std::flush;
  termios old{};
  const bool tty = tcgetattr(STDIN_FILENO, &old) == 0;
  if (tty) {
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line = ReadLine(std::cin);
  if (tty) tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
  std::cerr << "\n";
  return line;
}

}  // namespace

std::string ReadNewPassword(const std::string& file) {
  std::string password;
  if (!file.empty()) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw Refused("cannot read " + file);
    password.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (password.size() > kMaxPasswordFileBytes) throw Refused(file + " is too long for a password file");
    if (!password.empty() && password.back() == '\n') password.pop_back();
    if (!password.empty() && password.back() == '\r') password.pop_back();
  } else if (isatty(STDIN_FILENO)) {
    password = PromptHidden("new password: ");
    if (PromptHidden("the same again: ") != password) throw Refused("the two passwords differ; nothing changed");
  } else {
    password = ReadLine(std::cin);
  }
  if (password.empty()) throw Refused("the password is empty");
  if (password.size() < admin::kMinPasswordLength) {
    throw Refused("the password is shorter than " + std::to_string(admin::kMinPasswordLength) + " characters");
  }
  if (password.size() > admin::kMaxPasswordLength) throw Refused("the password is longer than 1024 bytes");
  return password;
}

std::string SystemUser() {
  if (const char* sudo = std::getenv("SUDO_USER"); sudo && *sudo) return sudo;
  if (const char* login = getlogin(); login && *login) return login;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_name) return pw->pw_name;
  return "uid " + std::to_string(getuid());
}

void AuditCli(Database& db, const std::string& action, const std::string& product, const std::string& subject,
              const admin::Json& detail) {
  AuditRow row;
  row.time_micros = ToMicros(std::chrono::system_clock::now());
  row.actor = SystemUser();
  row.via = "cli";
  row.action = action;
  row.product = product;
  row.subject = subject;
  row.detail = admin::Dump(detail);
  db.AppendAudit(row);
}

std::string AuditLine(const AuditRow& r) {
  std::string line = std::to_string(r.id) + "\t" + FormatMicros(r.time_micros) + "\t" + r.actor + "\t" + r.via +
                     "\t" + (r.peer.empty() ? "-" : r.peer) + "\t" + r.action + "\t" +
                     (r.product.empty() ? "-" : r.product) + "\t" + r.subject + "\t" + r.detail;
  // Every field may come from outside (a license id, a note): one row, one line.
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line;
}

}  // namespace pbs::cli
