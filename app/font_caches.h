#ifndef KORVANE_APP_FONT_CACHES_H_
#define KORVANE_APP_FONT_CACHES_H_

namespace korvane {

// Frees the font caches Pango keeps for the process (the fonts and font sets it has loaded),
// which otherwise live until the process ends. For leak-checked builds: fontconfig links a
// pattern to its elements by offset rather than by pointer, so the leak checker cannot follow
// what the caches still hold and reports it as leaked. fontconfig's own configuration stays (fonts
// cairo keeps still refer to it; freeing it then aborts). Main thread, once, after the
// application has finished; no text can be laid out afterwards.
void ReleaseFontCaches();

}  // namespace korvane

#endif  // KORVANE_APP_FONT_CACHES_H_
