#ifndef PLATFORM_PRIVILEGES_ELEVATION_SCRIPT_H_
#define PLATFORM_PRIVILEGES_ELEVATION_SCRIPT_H_

#include <sys/types.h>

#include <string>
#include <vector>

// Pure renderers of what runs as root to grant the network capability (the grant command,
// handed to sudo or pkexec as an argument) and of the password-helper wrapper. Any thread;
// nothing here touches the disk.
namespace korvane {

// The polkit rule that lets the user change systemd-resolved's DNS settings.
inline constexpr char kPolkitRulePath[] = "/etc/polkit-1/rules.d/90-korvane-resolved.rules";
// The last line the grant command prints, after every step (the polkit rule included).
inline constexpr char kGrantDoneLine[] = "korvane-grant: done";
// The only PATH root's command sees.
inline constexpr char kGrantPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

// The values the grant command is made of.
struct GrantScriptValues {
  // The user's install directory (canonical): korvane, lib/ and data/ are read from it.
  std::string source;
  // The root-owned directory the copy is put into (see platform/granted_copy.h).
  std::string dest;
  uid_t uid = 0;
  gid_t gid = 0;
  // The digest of korvane that the host verified; the copy must have it.
  std::string binary_sha256;
  // The digest of korvane-cap-wrapper when the wrapper is covered and granted; empty: no wrapper.
  std::string wrapper_sha256;
  // Whether the install has a data/ directory to copy.
  bool copy_data = true;
  std::string setcap;
  std::string patchelf;
  // The login name allowed by the polkit rule; empty (or not a login name): no rule.
  std::string user;
};

// `s` between single quotes, each single quote inside written as '\''.
std::string ShellQuote(const std::string& s);

// True for a non-empty name made only of ASCII letters, digits, ".", "_" and "-", optionally
// ending in one "$": the characters a login name holds. Only such a name may go into the polkit
// rule, where it stands raw inside a JavaScript string in a quoted here-document.
bool IsPolkitSafeUserName(const std::string& user);

// The command /bin/sh runs as root: make the root-owned directories, copy the install as the
// user (so nothing the user cannot read is copied, and no link is followed as root), refuse
// anything but files and directories, check the digests, fix the run path and modes, grant,
// move the copy into place, write the polkit rule, and print kGrantDoneLine last.
std::string RenderGrantCommand(const GrantScriptValues& values);

// What follows "sudo -A --" or "pkexec": the command with a fixed PATH and no other variable.
std::vector<std::string> GrantCommandLine(const GrantScriptValues& values);

// The wrapper that runs `helper_path` (zenity, kdialog, yad or Xdialog, by file name) as a
// password prompt; empty for any other helper, which is used directly.
std::string RenderAskpassWrapper(const std::string& helper_path);

}  // namespace korvane

#endif  // PLATFORM_PRIVILEGES_ELEVATION_SCRIPT_H_
