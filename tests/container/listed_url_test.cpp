// Every URL a container lists leads back to the entry it lists, through the
// route Open takes (ParseHostUrl) and the one CheckExistence takes
// (ParseContainerUrl): the quoting rule of the listing and the URL parser
// must agree on every name a listing can carry.
#include "container_test_util.h"
#include "quoting/entry_name_quotes.h"
#include "util/container_url.h"

namespace {

using namespace ctest;

class ListedUrlTest : public ScratchTest {};

TEST_F(ListedUrlTest, EachListedUrlNamesItsOwnContainerAndEntry) {
    // Names the parser would misread unquoted (digits, '&'), names that hold
    // the characters of the URL's own syntax, and plain ones.
    const std::vector<std::string> names = {
        "clip.dat", "7",           "0042",       "a&b",       "&",       "say \"hi\"", "x=y",     "file=z",
        "?q",       "sub/dir.txt", "with space", "\xC3\xA9t\xC3\xA9", "12a", "-5",       "1.5",     "a;b",
    };
    const std::string path = PathOf("clips.cnt");
    Held container(path, kContainerWriteAccess);
    for (const std::string& name : names) ASSERT_NE(container->AddEntry(name.c_str()), nullptr) << name;

    IUnknown* item = nullptr;
    size_t listed = 0;
    for (int32_t result = container->First(&item); result == S_OK; result = container->Next(&item), ++listed) {
        ASSERT_NE(item, nullptr);
        IQLXBuffer* buffer = nullptr;
        ASSERT_EQ(item->QueryInterface(IID_IQLXBuffer, reinterpret_cast<void**>(&buffer)), S_OK);
        const std::string url(reinterpret_cast<const char*>(buffer->GetBuffer()));
        buffer->Release();
        item->Release();
        ASSERT_LT(listed, names.size());
        const std::string& name = names[listed];
        const size_t value = url.find("?file=") + 6;
        EXPECT_EQ(url.compare(value, 1, "\"") == 0, EntryNameNeedsQuotes(name.c_str())) << url;
        for (const ContainerUrl& parsed : {ParseHostUrl(url.c_str()), ParseContainerUrl(url.c_str())}) {
            EXPECT_EQ(std::string(parsed.path.GetChars()), path) << url;
            EXPECT_TRUE(parsed.namesEntry) << url;
            EXPECT_EQ(std::string(parsed.entryName.GetChars()), name) << url;
        }
    }
    EXPECT_EQ(listed, names.size());
}

}  // namespace
