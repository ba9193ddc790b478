#include "cont_src.h"

#include <contfs/container_url.h>

#include <new>
#include <string>

#include "debug_category.h"
#include "entry_reader.h"
#include "shared_module.h"

GST_DEBUG_CATEGORY(cont_src_debug);

struct _GstContSrc {
    GstBaseSrc parent;

    // The properties, under the object lock; changed only while stopped.
    gchar* location;
    gchar* entry;
    gchar* uri;  // as set, or made from location and entry
    gboolean follow;

    // Used by the streaming thread alone, between start and stop.
    contsrc::EntryReader* reader;
};

namespace {

enum { kPropLocation = 1, kPropEntry, kPropFollow };

GstStaticPadTemplate srcTemplate = GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

void UriHandlerInit(gpointer iface, gpointer data);

}  // namespace

G_DEFINE_TYPE_WITH_CODE(GstContSrc, gst_cont_src, GST_TYPE_BASE_SRC,
                        G_IMPLEMENT_INTERFACE(GST_TYPE_URI_HANDLER, UriHandlerInit));

namespace {

// The URL of the properties: made by the module's rule, with the path
// absolute as listings give it; null while either is missing or no URL can
// carry them.
gchar* UriOf(const gchar* location, const gchar* entry) {
    if (!location || !entry) return nullptr;
    std::string path, reason;
    if (!contfs::UrlContainerPath(location, &path, &reason) || !contfs::UrlCanName(path, entry, &reason))
        return nullptr;
    return g_strdup(contfs::MakeContUrl(path, entry).c_str());
}

// Properties name the resource, which cannot change under a running
// element; the caller holds the object lock.
bool Stopped(GstContSrc* src) {
    const GstState state = GST_STATE(src);
    if (state == GST_STATE_READY || state == GST_STATE_NULL) return true;
    GST_WARNING_OBJECT(src, "the container and entry can be changed only while the element is stopped");
    return false;
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* spec) {
    GstContSrc* src = GST_CONT_SRC(object);
    GST_OBJECT_LOCK(src);
    switch (id) {
        case kPropLocation:
        case kPropEntry:
            if (!Stopped(src)) break;
            {
                gchar** field = id == kPropLocation ? &src->location : &src->entry;
                g_free(*field);
                *field = g_value_dup_string(value);
            }
            g_free(src->uri);
            src->uri = UriOf(src->location, src->entry);
            break;
        case kPropFollow:
            src->follow = g_value_get_boolean(value);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
    }
    GST_OBJECT_UNLOCK(src);
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* spec) {
    GstContSrc* src = GST_CONT_SRC(object);
    GST_OBJECT_LOCK(src);
    switch (id) {
        case kPropLocation: g_value_set_string(value, src->location); break;
        case kPropEntry: g_value_set_string(value, src->entry); break;
        case kPropFollow: g_value_set_boolean(value, src->follow); break;
        default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
    }
    GST_OBJECT_UNLOCK(src);
}

void Finalize(GObject* object) {
    GstContSrc* src = GST_CONT_SRC(object);
    delete src->reader;
    g_free(src->location);
    g_free(src->entry);
    g_free(src->uri);
    G_OBJECT_CLASS(gst_cont_src_parent_class)->finalize(object);
}

// An error message as GST_ELEMENT_ERROR posts it, in GStreamer's resource
// domain.
void PostFailure(GstContSrc* src, const contsrc::Failure& failure) {
    GstResourceError code = GST_RESOURCE_ERROR_READ;
    switch (failure.kind) {
        case contsrc::Failure::Kind::kNotFound: code = GST_RESOURCE_ERROR_NOT_FOUND; break;
        case contsrc::Failure::Kind::kOpen: code = GST_RESOURCE_ERROR_OPEN_READ; break;
        case contsrc::Failure::Kind::kRead: code = GST_RESOURCE_ERROR_READ; break;
    }
    GST_WARNING_OBJECT(src, "%s (%s)", failure.message.c_str(), failure.detail.c_str());
    gst_element_message_full(GST_ELEMENT(src), GST_MESSAGE_ERROR, GST_RESOURCE_ERROR, code,
                             g_strdup(failure.message.c_str()),
                             failure.detail.empty() ? nullptr : g_strdup(failure.detail.c_str()), __FILE__,
                             GST_FUNCTION, __LINE__);
}

gboolean Start(GstBaseSrc* base) {
    GstContSrc* src = GST_CONT_SRC(base);
    GST_OBJECT_LOCK(src);
    const std::string location = src->location ? src->location : "";
    const std::string entry = src->entry ? src->entry : "";
    const bool follow = src->follow;
    GST_OBJECT_UNLOCK(src);
    if (location.empty()) {
        GST_ELEMENT_ERROR(src, RESOURCE, NOT_FOUND, ("No container given for reading."), (nullptr));
        return FALSE;
    }
    if (entry.empty()) {
        GST_ELEMENT_ERROR(src, RESOURCE, NOT_FOUND, ("No entry of container \"%s\" given for reading.",
                                                     location.c_str()), (nullptr));
        return FALSE;
    }
    std::string why;
    contfs::Module* module = contsrc::SharedModule(&why);
    if (!module) {
        GST_ELEMENT_ERROR(src, LIBRARY, INIT, ("Could not load the contfs module."), ("%s", why.c_str()));
        return FALSE;
    }
    contsrc::Failure failure;
    if (!src->reader->Open(*module, location, entry, follow, &failure)) {
        PostFailure(src, failure);
        src->reader->Close();
        return FALSE;
    }
    GST_DEBUG_OBJECT(src, "started on entry \"%s\" of \"%s\"%s", entry.c_str(), location.c_str(),
                     follow ? ", following its growth" : "");
    return TRUE;
}

gboolean Stop(GstBaseSrc* base) {
    GST_CONT_SRC(base)->reader->Close();
    return TRUE;
}

gboolean GetSize(GstBaseSrc* base, guint64* size) {
    uint64_t known = 0;
    if (!GST_CONT_SRC(base)->reader->Size(&known)) return FALSE;
    *size = known;
    return TRUE;
}

// A growing entry is read from start to end as it arrives; one that is
// whole, at any offset.
gboolean IsSeekable(GstBaseSrc* base) {
    uint64_t known = 0;
    return GST_CONT_SRC(base)->reader->Size(&known);
}

gboolean Unlock(GstBaseSrc* base) {
    GST_CONT_SRC(base)->reader->Interrupt();
    return TRUE;
}

gboolean UnlockStop(GstBaseSrc* base) {
    GST_CONT_SRC(base)->reader->Resume();
    return TRUE;
}

void ReleaseModuleBuffer(gpointer buffer) { static_cast<IQLXBuffer*>(buffer)->Release(); }

GstFlowReturn Create(GstBaseSrc* base, guint64 offset, guint size, GstBuffer** out) {
    GstContSrc* src = GST_CONT_SRC(base);
    contsrc::Piece piece;
    contsrc::Failure failure;
    switch (src->reader->Read(offset, size, &piece, &failure)) {
        case contsrc::EntryReader::Got::kData: break;
        case contsrc::EntryReader::Got::kEnd: return GST_FLOW_EOS;
        case contsrc::EntryReader::Got::kInterrupted: return GST_FLOW_FLUSHING;
        case contsrc::EntryReader::Got::kFailed:
            PostFailure(src, failure);
            return GST_FLOW_ERROR;
    }
    // The module's buffer becomes the GstBuffer's memory: no copy. The
    // module never writes a buffer the host holds, and the last unref
    // releases it, on whatever thread that happens.
    IQLXBuffer* held = piece.buffer.get();
    held->AddRef();
    GstBuffer* buffer = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, const_cast<uint8_t*>(piece.bytes),
                                                    piece.length, 0, piece.length, held, ReleaseModuleBuffer);
    GST_BUFFER_OFFSET(buffer) = offset;
    GST_BUFFER_OFFSET_END(buffer) = offset + piece.length;
    *out = buffer;
    return GST_FLOW_OK;
}

// ---- GstURIHandler ----------------------------------------------------------

GstURIType UriType(GType) { return GST_URI_SRC; }

const gchar* const* UriProtocols(GType) {
    static const gchar* const protocols[] = {"cont", nullptr};
    return protocols;
}

gchar* GetUri(GstURIHandler* handler) {
    GstContSrc* src = GST_CONT_SRC(handler);
    GST_OBJECT_LOCK(src);
    gchar* uri = g_strdup(src->uri);
    GST_OBJECT_UNLOCK(src);
    return uri;
}

gboolean SetUri(GstURIHandler* handler, const gchar* uri, GError** error) {
    GstContSrc* src = GST_CONT_SRC(handler);
    std::string path, name, reason;
    if (!contfs::ReadContUrl(uri ? uri : "", &path, &name, &reason)) {
        g_set_error(error, GST_URI_ERROR, GST_URI_ERROR_BAD_URI, "Invalid cont URI \"%s\": %s", uri ? uri : "",
                    reason.c_str());
        return FALSE;
    }
    GST_OBJECT_LOCK(src);
    if (!Stopped(src)) {
        GST_OBJECT_UNLOCK(src);
        g_set_error(error, GST_URI_ERROR, GST_URI_ERROR_BAD_STATE,
                    "Changing the URI of contsrc while it runs is not supported");
        return FALSE;
    }
    g_free(src->location);
    g_free(src->entry);
    g_free(src->uri);
    src->location = g_strdup(path.c_str());
    src->entry = g_strdup(name.c_str());
    src->uri = g_strdup(uri);
    GST_OBJECT_UNLOCK(src);
    g_object_notify(G_OBJECT(src), "location");
    g_object_notify(G_OBJECT(src), "entry");
    return TRUE;
}

void UriHandlerInit(gpointer iface, gpointer) {
    GstURIHandlerInterface* handler = static_cast<GstURIHandlerInterface*>(iface);
    handler->get_type = UriType;
    handler->get_protocols = UriProtocols;
    handler->get_uri = GetUri;
    handler->set_uri = SetUri;
}

}  // namespace

static void gst_cont_src_class_init(GstContSrcClass* klass) {
    GObjectClass* object = G_OBJECT_CLASS(klass);
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    GstBaseSrcClass* base = GST_BASE_SRC_CLASS(klass);
    GST_DEBUG_CATEGORY_INIT(cont_src_debug, "contsrc", 0, "reads an entry of a cont container");

    object->set_property = SetProperty;
    object->get_property = GetProperty;
    object->finalize = Finalize;
    const GParamFlags flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                       GST_PARAM_MUTABLE_READY);
    g_object_class_install_property(
        object, kPropLocation,
        g_param_spec_string("location", "Container location",
                            "Path of the container file (relative to the current directory, or absolute)", nullptr,
                            flags));
    g_object_class_install_property(
        object, kPropEntry, g_param_spec_string("entry", "Entry", "Name of the entry to read", nullptr, flags));
    g_object_class_install_property(
        object, kPropFollow,
        g_param_spec_boolean("follow", "Follow",
                             "Read an entry another program is still writing as it grows, and end when the writer "
                             "closes the container (the entry is then read from start to end, not seekable)",
                             FALSE, flags));

    gst_element_class_set_static_metadata(element, "Container entry source", "Source/File",
                                          "Reads one entry of a container file, named by a cont URI", "contfs");
    gst_element_class_add_static_pad_template(element, &srcTemplate);

    base->start = Start;
    base->stop = Stop;
    base->get_size = GetSize;
    base->is_seekable = IsSeekable;
    base->unlock = Unlock;
    base->unlock_stop = UnlockStop;
    base->create = Create;
}

static void gst_cont_src_init(GstContSrc* src) {
    src->reader = new contsrc::EntryReader();
}
