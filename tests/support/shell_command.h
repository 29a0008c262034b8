#ifndef TESTS_SUPPORT_SHELL_COMMAND_H_
#define TESTS_SUPPORT_SHELL_COMMAND_H_

#include <string>

// Shell commands run by tests to look at the machine (`ip`, `ldd`, `nm`, ...). Test thread only.
namespace korvane_test {

// Runs `command` through /bin/sh; its standard output and error go to *output. The exit status,
// or -1 when it did not exit normally or could not be started.
int RunShellCommand(const std::string& command, std::string* output);

// The standard output and error of `command` ("" when it could not be started).
std::string ShellOutput(const std::string& command);

// `text` as one word of a shell command line, whatever it holds (spaces, quotes).
std::string ShellQuote(const std::string& text);

}  // namespace korvane_test

#endif  // TESTS_SUPPORT_SHELL_COMMAND_H_
