// --json: what ls, stat and check print is read back with a JSON parser,
// and every name comes back byte for byte, control bytes and bytes that are
// not UTF-8 included.
#include <nlohmann/json.hpp>

#include "cont_fixture.h"
#include "support/container_bytes.h"

namespace {

using namespace conttest;
using Json = nlohmann::json;

std::string FromBase64(const std::string& text) {
    static const std::string kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        bits = bits << 6 | static_cast<uint32_t>(kDigits.find(c));
        if ((count += 6) >= 8) bytes += static_cast<char>(bits >> (count -= 8));
    }
    return bytes;
}

// A name as a script reads it: the exact bytes when the text could not
// carry them, else the text.
std::string NameOf(const Json& object, const std::string& key = "name") {
    if (object.contains(key + "_base64")) return FromBase64(object[key + "_base64"].get<std::string>());
    return object[key].get<std::string>();
}

class ContJsonTest : public ContFixture {};

TEST_F(ContJsonTest, ListStatAndCheckGiveEveryNameExactly) {
    const std::vector<std::pair<std::string, std::string>> entries = {
        {"plain", "alpha"},
        {"ctl\x01\x1f\n\"q\"\x7f", "control bytes"},
        {"bad\xff\xfe\xc3", "not UTF-8"},
        {"\xc3\xbc" "n" "\xc3\xaf" "code/dir", "UTF-8"},
        {"a#b", "no URL carries it"},
    };
    WriteAll(At("x.cnt"), ctest::HandBuiltContainer(entries));
    const std::string c = At("x.cnt").string();

    const Outcome ls = Cont({"ls", "--json", c});
    EXPECT_EQ(1, ls.status) << "a#b cannot be opened";
    const Json listing = Json::parse(ls.out);
    EXPECT_EQ(c, NameOf(listing, "container"));
    ASSERT_EQ(entries.size(), listing["entries"].size()) << ls.out;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Json& e = listing["entries"][i];
        EXPECT_EQ(entries[i].first, NameOf(e)) << i;
        if (entries[i].first == "a#b") {
            EXPECT_TRUE(e["size"].is_null());
            EXPECT_NE(std::string::npos, e["problem"].get<std::string>().find("'#'")) << e;
            continue;
        }
        EXPECT_EQ(entries[i].second.size(), e["size"].get<uint64_t>()) << i;
        EXPECT_EQ(0u, e["url"].get<std::string>().find("cont:///")) << e;
    }
    // Only a name that is not UTF-8 needs its bytes beside it.
    EXPECT_FALSE(listing["entries"][0].contains("name_base64"));
    EXPECT_FALSE(listing["entries"][1].contains("name_base64"));
    EXPECT_TRUE(listing["entries"][2].contains("name_base64"));
    EXPECT_FALSE(listing["entries"][3].contains("name_base64"));

    for (size_t i = 0; i < 4; ++i) {
        const Outcome stat = Cont({"stat", "--json", c, entries[i].first});
        ASSERT_EQ(0, stat.status) << stat.err;
        const Json s = Json::parse(stat.out);
        EXPECT_EQ(entries[i].first, NameOf(s)) << i;
        EXPECT_EQ(entries[i].second.size(), s["size"].get<uint64_t>());
        EXPECT_EQ(6u, s["container_file"]["mode"].get<std::string>().size());
    }

    const Outcome check = Cont({"check", "--json", c});
    EXPECT_EQ(1, check.status);
    const Json report = Json::parse(check.out);
    EXPECT_EQ(".W7K", report["header"]["variant"]);
    EXPECT_EQ(true, report["header"]["clean"]);
    EXPECT_EQ("x.cnt", report["header"]["title"]);
    EXPECT_EQ("failed", report["result"]);
    EXPECT_EQ(1, report["problems"]);
    uint64_t read = 0;
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(entries[i].first, NameOf(report["entries"][i])) << i;
        EXPECT_EQ(true, report["entries"][i]["ok"]) << i;
        read += entries[i].second.size();
    }
    EXPECT_EQ(false, report["entries"][4]["ok"]);
    EXPECT_EQ(read, report["read"].get<uint64_t>());
}

// Whatever check finds, a script gets an object it can read: a file that
// is no container, and one that was not closed cleanly and is repaired.
TEST_F(ContJsonTest, CheckReportsFailureAndRepairAsJson) {
    WriteAll(At("notes.txt"), "not a container\n");
    const Outcome notOne = Cont({"check", "--json", At("notes.txt").string()});
    EXPECT_EQ(1, notOne.status);
    const Json failed = Json::parse(notOne.out);
    EXPECT_TRUE(failed["header"]["variant"].is_null());
    EXPECT_EQ("not ", failed["header"]["magic"]);
    EXPECT_EQ(false, failed["opened"]);
    EXPECT_NE(std::string::npos, failed["problem"].get<std::string>().find("RES_BAD_FORMAT")) << failed;
    EXPECT_EQ("failed", failed["result"]);

    std::string unclean = ctest::HandBuiltContainer({{"a", "alpha"}});
    unclean[6] = 0;
    WriteAll(At("u.cnt"), unclean);
    const Outcome repaired = Cont({"check", "--json", At("u.cnt").string()});
    EXPECT_EQ(0, repaired.status) << repaired.err;
    const Json fixed = Json::parse(repaired.out);
    EXPECT_EQ(false, fixed["header"]["clean"]);
    EXPECT_EQ("repaired", fixed["repair"]);
    EXPECT_EQ("ok", fixed["result"]);
    EXPECT_EQ(5u, fixed["read"].get<uint64_t>());

    // Damage: where it lies, and how much of the entry is still readable.
    const std::string whole = ctest::HandBuiltContainer({{"a", Pattern(5000, 1)}});
    WriteAll(At("cut.cnt"), whole.substr(0, whole.size() - 2000));
    const Json damaged = Json::parse(Cont({"check", "--json", At("cut.cnt").string()}).out);
    EXPECT_EQ("a data record", damaged["damage"]["part"]) << damaged;
    EXPECT_EQ(false, damaged["entries"][0]["ok"]);
    EXPECT_LT(damaged["entries"][0]["readable"].get<uint64_t>(), 5000u);
}

// --json of pack, add, extract, rm and compact: per entry whether it was
// done, its bytes and the reason it was not; the names exactly, also one
// that is not UTF-8; and the document printed when the command fails too.
TEST_F(ContJsonTest, CommandsThatWorkOnEntriesReportEachOne) {
    const std::string bad = "bad\xff" "name";
    WriteAll(At("a"), "alpha");
    WriteAll(At("b"), Pattern(3000, 1));
    const std::string c = At("x.cnt").string();
    const Json packed = Json::parse(ContOk({"pack", "--json", c, At("a").string(), "--name", bad, At("b").string()}));
    EXPECT_EQ("ok", packed["result"]);
    ASSERT_EQ(2u, packed["entries"].size()) << packed;
    EXPECT_EQ(bad, NameOf(packed["entries"][1]));
    EXPECT_EQ(true, packed["entries"][1]["done"]);
    EXPECT_EQ(3000u, packed["entries"][1]["bytes"].get<uint64_t>());
    EXPECT_EQ(At("b").string(), packed["entries"][1]["file"]);
    EXPECT_EQ(3005u, packed["bytes"].get<uint64_t>());

    WriteAll(At("a"), "ALPHA!");
    const Json added = Json::parse(ContOk({"add", "--json", "--replace", c, At("a").string()}));
    EXPECT_EQ(true, added["entries"][0]["replaced"]) << added;
    EXPECT_EQ(6u, added["entries"][0]["bytes"].get<uint64_t>());

    // A file that cannot be written fails its entry alone, with the reason.
    fs::create_directories(At("out/a/inside"));
    const Outcome extract = Cont({"extract", "--json", "-C", At("out").string(), c});
    EXPECT_EQ(1, extract.status);
    const Json extracted = Json::parse(extract.out);
    EXPECT_EQ("failed", extracted["result"]);
    ASSERT_EQ(2u, extracted["entries"].size()) << extracted;
    const Json& first = extracted["entries"][0];  // in container order: the new "a" came last
    const Json& second = extracted["entries"][1];
    EXPECT_EQ(bad, NameOf(first));
    EXPECT_EQ(true, first["done"]);
    EXPECT_EQ((At("out") / bad).string(), NameOf(first, "file"));
    EXPECT_EQ("a", second["name"]);
    EXPECT_EQ(false, second["done"]);
    EXPECT_NE(std::string::npos, second.value("problem", "").find("directory")) << extracted;
    EXPECT_FALSE(extracted.contains("failures")) << extracted;

    const Outcome missing = Cont({"rm", "--json", c, bad, "nope"});
    EXPECT_EQ(1, missing.status);
    const Json refused = Json::parse(missing.out);
    EXPECT_TRUE(refused["entries"].empty());
    EXPECT_NE(std::string::npos, refused["failures"][0].get<std::string>().find("'nope': no such entry")) << refused;
    const Json removed = Json::parse(ContOk({"rm", "--json", c, bad}));
    EXPECT_EQ(bad, NameOf(removed["entries"][0]));
    EXPECT_EQ(3000u, removed["entries"][0]["bytes"].get<uint64_t>());

    const Json compacted = Json::parse(ContOk({"compact", "--json", c}));
    EXPECT_EQ(true, compacted["replaced"]) << compacted;
    EXPECT_EQ(fs::file_size(c), compacted["after"].get<uint64_t>());
    EXPECT_EQ(compacted["before"].get<uint64_t>() - compacted["after"].get<uint64_t>(),
              compacted["reclaimed"].get<uint64_t>());
    EXPECT_EQ("a", NameOf(compacted["entries"][0]));
    EXPECT_EQ(2, Cont({"compact", "--json", "-v", c}).status);
}

}  // namespace
