#include "platform/elevation_script.h"

#include <cctype>
#include <filesystem>

namespace korvane {

namespace {

// The run path is fixed first, through a copy when the binary cannot be changed in place.
constexpr char kPatchelfTail[] =
    "; CURRENT=$($PATCHELF --print-rpath \"$BINARY\" 2>/dev/null); if [ \"$CURRENT\" != \"$LIB\" "
    "]; then   $PATCHELF --force-rpath --set-rpath \"$LIB\" \"$BINARY\" 2>/dev/null || {     "
    "TMP=\"${BINARY}.setcap_tmp\";     cp \"$BINARY\" \"$TMP\" &&     $PATCHELF --force-rpath "
    "--set-rpath \"$LIB\" \"$TMP\" &&     mv \"$TMP\" \"$BINARY\" ||     { rm -f \"$TMP\" "
    "2>/dev/null; echo 'patchelf failed'; exit 1; };   }; fi";

constexpr char kRemoveCapability[] = "; $SETCAP -r \"$BINARY\" 2>/dev/null || true";

constexpr char kGrantCapability[] =
    "; if [ -x \"$WRAPPER\" ]; then   $SETCAP cap_net_admin+eip \"$WRAPPER\"; else   echo "
    "'korvane-cap-wrapper not found, using main binary (tray may not work)';   $SETCAP "
    "cap_net_admin+ep \"$BINARY\"; fi";

constexpr char kRuleHead[] =
    "; RULE_DIR=/etc/polkit-1/rules.d; if [ -d \"$RULE_DIR\" ]; then   cat > ";

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
    "fi";

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

std::string RenderElevationCommand(const ElevationScriptValues& values) {
  std::string command = "BINARY=" + ShellQuote(values.binary) +
                        "; SETCAP=" + ShellQuote(values.setcap) +
                        "; WRAPPER=" + ShellQuote(values.wrapper);
  if (!values.patchelf.empty()) {
    command += "; PATCHELF=" + ShellQuote(values.patchelf) + "; LIB=" + ShellQuote(values.lib) +
               kPatchelfTail;
  }
  command += kRemoveCapability;
  command += kGrantCapability;
  // The name stands raw in the rule: anything but a login name could end the string or the
  // here-document and run as root.
  if (IsPolkitSafeUserName(values.user)) {
    command += kRuleHead + ShellQuote(kPolkitRulePath) + kRuleBodyBeforeUser + values.user +
               kRuleBodyAfterUser;
  }
  return command;
}

std::string RenderElevationScript(const ElevationScriptValues& values) {
  return "#!/bin/sh\nset -e\n" + RenderElevationCommand(values) + "\n";
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
