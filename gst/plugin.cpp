// The GStreamer plug-in "cont" (libgstcont.so): the source element contsrc,
// which GStreamer picks for "cont" URIs.
#include <gst/gst.h>

#include "cont_src.h"

namespace {

gboolean PluginInit(GstPlugin* plugin) {
    return gst_element_register(plugin, "contsrc", GST_RANK_PRIMARY, GST_TYPE_CONT_SRC);
}

}  // namespace

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, cont, "Reads the entries of cont container files",
                  PluginInit, CONTSRC_VERSION, GST_LICENSE_UNKNOWN, "contfs", "contfs")
