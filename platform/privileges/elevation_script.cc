#include "platform/privileges/elevation_script.h"

#include <filesystem>

#include "platform/privileges/granted_copy.h"

namespace korvane {

namespace {

constexpr char kRuleHead[] =
    "RULE_DIR=/etc/polkit-1/rules.d; if [ -d \"$RULE_DIR\" ]; then   cat > ";

constexpr char kRuleBodyBeforeUser[] =
    " << 'POLKIT_EOF'\n"
    "polkit.addRule(function(action, subject) {\n"
    "  var allowed = [\n"
    "    \"org.freedesktop.resolve1.set-dns-servers\",\n"
    "    \"org.freedesktop.resolve1.set-domains\",\n"
    "    \"org.freedesktop.resolve1.set-default-route\",\n"
    "    \"org.freedesktop.resolve1.revert\"\n"
    "  ];\n"
    "  if (allowed.indexOf(action.id) >= 0 &&\n"
    "      subject.user == \"";

constexpr char kRuleBodyAfterUser[] =
    "\" &&\n"
    "      subject.local && subject.active) {\n"
    "    return polkit.Result.YES;\n"
    "  }\n"
    "});\n"
    "POLKIT_EOF\n"
    "fi\n";

// Every step runs on what root made itself: the stage is root's 0700 directory, filled by a
// tar run as the user (so only what the user can read is copied) and unpacked by root, which
// then refuses anything that is not a plain file or directory.
constexpr char kCopyAndCheck[] =
    "fail() { echo \"korvane-grant: $*\" >&2; exit 1; }\n"
    "USERDIR=${DEST%/*}\n"
    "for d in \"$TOP\" \"$ROOT\" \"$USERDIR\"; do\n"
    "  if [ -L \"$d\" ]; then fail \"refusing the symbolic link $d\"; fi\n"
    "  if [ ! -d \"$d\" ]; then mkdir -m 0755 \"$d\"; fi\n"
    "done\n"
    "chown root:root \"$TOP\" \"$ROOT\"; chmod 0755 \"$TOP\" \"$ROOT\"\n"
    "chown root:\"$G\" \"$USERDIR\"; chmod 0750 \"$USERDIR\"\n"
    "STAGE=$(mktemp -d \"$USERDIR/.stage.XXXXXX\")\n"
    "trap 'rm -rf \"$STAGE\"' EXIT\n"
    "setpriv --reuid=\"$U\" --regid=\"$G\" --clear-groups --inh-caps=-all -- tar -C \"$SRC\" "
    "-cf - -- $ENTRIES | tar -C \"$STAGE\" --no-same-owner --no-same-permissions -xf -\n"
    "ODD=$(find \"$STAGE\" ! -type f ! -type d -print)\n"
    "if [ -n \"$ODD\" ]; then fail \"the install holds something other than files and "
    "directories: ${ODD#\"$STAGE\"/}\"; fi\n"
    "if [ ! -f \"$STAGE/korvane\" ] || [ ! -d \"$STAGE/lib\" ]; then fail 'korvane or lib could "
    "not be copied'; fi\n"
    "if [ \"$(sha256sum < \"$STAGE/korvane\")\" != \"$SUM  -\" ]; then fail 'the copy of "
    "korvane does not have the digest the host verified'; fi\n"
    "if [ -n \"$WSUM\" ] && [ \"$(sha256sum < \"$STAGE/korvane-cap-wrapper\")\" != \"$WSUM  -\" "
    "]; then fail 'the copy of korvane-cap-wrapper does not have the digest the host verified'; "
    "fi\n"
    "chmod -R u=rwX,go=rX \"$STAGE\"\n"
    "\"$PATCHELF\" --force-rpath --set-rpath \"$DEST/lib\" \"$STAGE/korvane\"\n"
    "printf '%s' \"$SRC\" > \"$STAGE/source\"\n"
    "printf '%s\\n' \"$SUM\" > \"$STAGE/sha256\"\n"
    "chown root:\"$G\" \"$STAGE/korvane\"; chmod 0750 \"$STAGE/korvane\"\n"
    "if [ -n \"$WSUM\" ]; then\n"
    "  chown root:\"$G\" \"$STAGE/korvane-cap-wrapper\"; chmod 0750 "
    "\"$STAGE/korvane-cap-wrapper\"\n"
    "  \"$SETCAP\" cap_net_admin+eip \"$STAGE/korvane-cap-wrapper\"\n"
    "else\n"
    "  echo 'korvane-cap-wrapper not found, using main binary (tray may not work)'\n"
    "  \"$SETCAP\" cap_net_admin+ep \"$STAGE/korvane\"\n"
    "fi\n"
    "chmod 0755 \"$STAGE\"\n"
    "if [ -e \"$DEST\" ] || [ -L \"$DEST\" ]; then mv -T \"$DEST\" \"$STAGE.old\"; fi\n"
    "mv -T \"$STAGE\" \"$DEST\"\n"
    "trap - EXIT\n"
    "rm -rf \"$STAGE.old\"\n";

struct AskpassTail {
  const char* file_name;
  const char* tail;
};

const AskpassTail kAskpassTails[] = {
    {"zenity", " --password --title='Korvane - Authentication Required' 2>/dev/null\n"},
    {"kdialog", " --password 'Password:'\n"},
    {"yad",
     " --entry --hide-text --title='Korvane - Authentication Required' --text='Password:'\n"},
    {"Xdialog", " --stdout --password 'Password:' 0 0\n"},
};

bool IsAsciiAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

std::string Assignment(const char* name, const std::string& value) {
  return std::string(name) + "=" + ShellQuote(value) + "\n";
}

}  // namespace

std::string ShellQuote(const std::string& s) {
  std::string quoted = "'";
  for (char c : s) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += "'";
  return quoted;
}

bool IsPolkitSafeUserName(const std::string& user) {
  if (user.empty()) {
    return false;
  }
  const size_t end = user.back() == '$' ? user.size() - 1 : user.size();
  if (end == 0) {
    return false;
  }
  for (size_t i = 0; i < end; ++i) {
    const char c = user[i];
    if (!IsAsciiAlnum(c) && c != '.' && c != '_' && c != '-') {
      return false;
    }
  }
  return true;
}

std::string RenderGrantCommand(const GrantScriptValues& values) {
  const std::filesystem::path root(kGrantedRoot);
  std::string entries = "korvane lib";
  if (values.copy_data) {
    entries += " data";
  }
  if (!values.wrapper_sha256.empty()) {
    entries += " korvane-cap-wrapper";
  }
  std::string command = "set -eu\numask 022\n";
  command += Assignment("TOP", root.parent_path().string());
  command += Assignment("ROOT", root.string());
  command += Assignment("SRC", values.source);
  command += Assignment("DEST", values.dest);
  command += Assignment("U", std::to_string(values.uid));
  command += Assignment("G", std::to_string(values.gid));
  command += Assignment("SUM", values.binary_sha256);
  command += Assignment("WSUM", values.wrapper_sha256);
  command += Assignment("SETCAP", values.setcap);
  command += Assignment("PATCHELF", values.patchelf);
  // Fixed names only: the list is split by the shell on purpose.
  command += Assignment("ENTRIES", entries);
  command += kCopyAndCheck;
  // The name stands raw in the rule: anything but a login name could end the string or the
  // here-document and run as root.
  if (IsPolkitSafeUserName(values.user)) {
    command += kRuleHead + ShellQuote(kPolkitRulePath) + kRuleBodyBeforeUser + values.user +
               kRuleBodyAfterUser;
  }
  command += std::string("echo '") + kGrantDoneLine + "'\n";
  return command;
}

std::vector<std::string> GrantCommandLine(const GrantScriptValues& values) {
  return {"/usr/bin/env", "-i", kGrantPath, "/bin/sh", "-c", RenderGrantCommand(values),
          "korvane-grant"};
}

std::string RenderAskpassWrapper(const std::string& helper_path) {
  const std::string file_name = std::filesystem::path(helper_path).filename().string();
  for (const AskpassTail& entry : kAskpassTails) {
    if (file_name == entry.file_name) {
      return "#!/bin/sh\nexec " + ShellQuote(helper_path) + entry.tail;
    }
  }
  return "";
}

}  // namespace korvane
