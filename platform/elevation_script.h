#ifndef KORVANE_PLATFORM_ELEVATION_SCRIPT_H_
#define KORVANE_PLATFORM_ELEVATION_SCRIPT_H_

#include <string>

// Pure renderers of the texts run as root to grant the network capability: the elevation script
// and the password-helper wrapper. Any thread; nothing here touches the disk.
namespace korvane {

// The polkit rule that lets the user change systemd-resolved's DNS settings.
inline constexpr char kPolkitRulePath[] = "/etc/polkit-1/rules.d/90-korvane-resolved.rules";

// The values the elevation script is made of.
struct ElevationScriptValues {
  // The canonical executable whose run path is fixed and which loses (or gets) the capability.
  std::string binary;
  std::string setcap;
  // The capability wrapper beside the binary (it need not exist).
  std::string wrapper;
  // Empty: no patchelf was found and the run path is left alone.
  std::string patchelf;
  // The binary's "lib" directory, its new run path.
  std::string lib;
  // The login name allowed by the polkit rule; empty (or not a login name): no rule.
  std::string user;
};

// `s` between single quotes, each single quote inside written as '\''.
std::string ShellQuote(const std::string& s);

// True for a non-empty name made only of ASCII letters, digits, ".", "_" and "-", optionally
// ending in one "$": the characters a login name holds. Only such a name may go into the polkit
// rule, where it stands raw inside a JavaScript string in a quoted here-document.
bool IsPolkitSafeUserName(const std::string& user);

// The one-line command (with the polkit rule's here-document when a user is given).
std::string RenderElevationCommand(const ElevationScriptValues& values);

// "#!/bin/sh\nset -e\n", the command and a newline.
std::string RenderElevationScript(const ElevationScriptValues& values);

// The wrapper that runs `helper_path` (zenity, kdialog, yad or Xdialog, by file name) as a
// password prompt; empty for any other helper, which is used directly.
std::string RenderAskpassWrapper(const std::string& helper_path);

}  // namespace korvane

#endif  // KORVANE_PLATFORM_ELEVATION_SCRIPT_H_
