#ifndef APP_PARENT_WAIT_H_
#define APP_PARENT_WAIT_H_

// Hand-over from a restarting parent: the new instance starts only once the old one has gone.
namespace korvane {

// Removes the first "--wait-for-parent-pid=" argument from argv (later arguments move down,
// argc drops by one, argv stays NULL-terminated) and returns its decimal value; garbage gives 0,
// no such argument gives 0.
long TakeWaitForParentArgument(int* argc, char** argv);

// For a pid of at least 1: waits while that process is still our parent, in 100 ms steps for at
// most 10 s, printing the two progress lines. Smaller values do nothing.
void WaitForParentExit(long parent_pid);

}  // namespace korvane

#endif  // APP_PARENT_WAIT_H_
