#include "app/font_caches.h"

#include <pango/pangocairo.h>
#include <pango/pangofc-fontmap.h>

namespace korvane {

void ReleaseFontCaches() {
  PangoFontMap* font_map = pango_cairo_font_map_get_default();
  if (PANGO_IS_FC_FONT_MAP(font_map)) {
    PangoFcFontMap* fc_font_map = PANGO_FC_FONT_MAP(font_map);
    // Waits for the font map's background load, which must not still be running below.
    pango_fc_font_map_get_config(fc_font_map);
    pango_fc_font_map_shutdown(fc_font_map);
  }
  pango_cairo_font_map_set_default(nullptr);
}

}  // namespace korvane
