#include "SollunHelper/tray/TrayIconPixmaps.h"

namespace sollun::helper {

int appendTrayIconPixmaps(sd_bus_message* reply) {
    int r = sd_bus_message_open_container(reply, SD_BUS_TYPE_ARRAY, "(iiay)");
    for (const auto& pixmap : trayIconPixmaps()) {
        if (r >= 0)
            r = sd_bus_message_open_container(reply, SD_BUS_TYPE_STRUCT, "iiay");
        if (r >= 0)
            r = sd_bus_message_append(reply, "ii", pixmap.size, pixmap.size);
        if (r >= 0)
            r = sd_bus_message_append_array(reply, 'y', pixmap.argb.data(), pixmap.argb.size());
        if (r >= 0)
            r = sd_bus_message_close_container(reply);
    }
    if (r >= 0)
        r = sd_bus_message_close_container(reply);
    return r;
}

} // namespace sollun::helper
