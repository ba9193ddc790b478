// The GST_DEBUG category "contsrc": GST_DEBUG=contsrc:5 tells what the
// element does (which module it loaded, what it opened, each look at a
// growing entry's writer); contsrc:6 adds each read, seek and wait.
#ifndef CONTSRC_DEBUG_CATEGORY_H
#define CONTSRC_DEBUG_CATEGORY_H

#include <gst/gst.h>

GST_DEBUG_CATEGORY_EXTERN(cont_src_debug);
#define GST_CAT_DEFAULT cont_src_debug

#endif
