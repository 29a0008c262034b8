#ifndef KORVANE_APP_FONT_CACHES_H_
#define KORVANE_APP_FONT_CACHES_H_

namespace korvane {

// Frees the process-wide font caches of Pango and fontconfig, which are otherwise kept until the
// process ends. For leak-checked builds: fontconfig links a pattern to its elements by offset
// rather than by pointer, so the leak checker cannot follow what the caches still hold and
// reports it as leaked. Main thread, once, after the application has finished; no text can be
// laid out afterwards.
void ReleaseFontCaches();

}  // namespace korvane

#endif  // KORVANE_APP_FONT_CACHES_H_
