// contsrc: a GStreamer source element that reads one entry of a container
// file, named by a "cont" URL (cont:////srv/media/clips.cnt?file=intro.mp4)
// or by the properties "location" (the container's path) and "entry". It
// answers any offset (pull mode, so a demuxer reads an index at the end of
// the entry without reading up to it), and with "follow" it reads an entry
// another program is still writing, to the writer's clean close.
#ifndef CONTSRC_CONT_SRC_H
#define CONTSRC_CONT_SRC_H

#include <gst/base/gstbasesrc.h>
#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_CONT_SRC (gst_cont_src_get_type())
G_DECLARE_FINAL_TYPE(GstContSrc, gst_cont_src, GST, CONT_SRC, GstBaseSrc)

G_END_DECLS

#endif
