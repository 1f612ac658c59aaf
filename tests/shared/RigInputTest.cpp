// Frame-ID lists and inventories: what is accepted, and what is refused with
// the file and line named.
#include "apps/shared/FrameIds.h"
#include "apps/shared/Inventory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string writeTemp(const std::string& stem, const std::string& text)
{
    const auto path = (std::filesystem::temp_directory_path() / (stem + std::to_string(std::rand()))).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

} // namespace

TEST(FrameIdList, LongAndShortFormsInEitherCase)
{
    struct Case {
        const char* list;
        std::vector<std::uint64_t> ids;
    };
    const Case cases[] = {
        {"00a00000:00000001", {0x00A0000000000001ULL}},
        {"a00000:1", {0x00A0000000000001ULL}},
        {"A00000:1,00A00000:0000000F", {0x00A0000000000001ULL, 0x00A000000000000FULL}},
        {" a00000:2 , ffffffff:ffffffff", {0x00A0000000000002ULL, 0xFFFFFFFFFFFFFFFFULL}},
        {"0:0", {0}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Rig::parseFrameIdList(c.list), c.ids) << c.list;
}

TEST(FrameIdList, RefusesWhatIsNoId)
{
    for (const char* list : {"", "a00000", "a00000:", ":1", "a00000:1,", "a00000:1,,a00000:2", "g0000:1",
                             "123456789:1", "a00000:1:2", "a00000-1", "--json"}) {
        try {
            Rig::parseFrameIdList(list);
            ADD_FAILURE() << "accepted \"" << list << "\"";
        } catch (const Rig::InputError& e) {
            EXPECT_NE(std::string(e.what()).find("is not a frame ID"), std::string::npos) << e.what();
        }
    }
}

TEST(FrameIdList, FileWithCommentsAndBlankLines)
{
    const std::string path = writeTemp("ids", "# the failures of last night\r\n00a00000:00000003\n\n  a00000:7  # amp 7\n");
    EXPECT_EQ(Rig::parseFrameIdList("@" + path), (std::vector<std::uint64_t>{0x00A0000000000003ULL, 0x00A0000000000007ULL}));
    std::remove(path.c_str());

    const std::string bad = writeTemp("ids", "a00000:1\nstage left\n");
    try {
        Rig::parseFrameIdList("@" + bad);
        ADD_FAILURE() << "accepted a bad line";
    } catch (const Rig::InputError& e) {
        EXPECT_EQ(std::string(e.what()), bad + ":2: \"stage left\" is not a frame ID (write 00a00000:00000001 or a00000:1)");
    }
    std::remove(bad.c_str());
    EXPECT_THROW(Rig::parseFrameIdList("@/nonexistent/ids.txt"), Rig::InputError);
}

TEST(Inventory, ReadsQuotedFieldsColumnsInAnyOrderAndOptionalAddresses)
{
    const std::string csv = "\xEF\xBB\xBF"
                            "name,Frame,rack,address\r\n"
                            "\"Stage left, top\",00a00000:00000001,R1,10.0.0.31\r\n"
                            "\"Sub \"\"B\"\"\",a00000:2,R1,\r\n"
                            "\r\n"
                            "\"Delay\n(balcony)\",a00000:3,R2,10.0.0.33\r\n";
    const Rig::Inventory inventory = Rig::Inventory::parse(csv, "rig.csv");
    ASSERT_EQ(inventory.entries().size(), 3U);
    const auto* first = inventory.find(0x00A0000000000001ULL);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->name, "Stage left, top");
    EXPECT_EQ(first->address, 0x0A00001FU);
    EXPECT_EQ(first->line, 2);
    const auto* second = inventory.find(0x00A0000000000002ULL);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->name, "Sub \"B\"");
    EXPECT_FALSE(second->address);
    const auto* third = inventory.find(0x00A0000000000003ULL);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->name, "Delay\n(balcony)");
    EXPECT_EQ(third->line, 5);
    EXPECT_EQ(inventory.find(0x00A0000000000004ULL), nullptr);
    EXPECT_EQ(inventory.nameWidth(), std::string("Stage left, top").size());

    const Rig::Inventory noAddresses = Rig::Inventory::parse("frame,name\na00000:1,A\n", "rig.csv");
    ASSERT_EQ(noAddresses.entries().size(), 1U);
    EXPECT_FALSE(noAddresses.entries()[0].address);
}

TEST(Inventory, BadRowsAreRefusedNamingTheLine)
{
    struct Case {
        const char* what;
        const char* csv;
        const char* message;
    };
    const Case cases[] = {
        {"empty file", "", "rig.csv: no header row (it must name the columns frame and name)"},
        {"no name column", "frame,address\na00000:1,10.0.0.1\n", "rig.csv:1: the header row must name the columns frame and name"},
        {"a column named twice", "frame,name,frame\n", "rig.csv:1: the column frame is named twice"},
        {"bad ID", "frame,name\na00000:1,A\nstage,B\n", "rig.csv:3: \"stage\" is not a frame ID (write 00a00000:00000001 or a00000:1)"},
        {"duplicate ID", "frame,name\na00000:1,A\n00A00000:00000001,B\n", "rig.csv:3: frame 00a00000:00000001 is listed already on line 2"},
        {"missing column", "frame,name,address\na00000:1,A,10.0.0.1\na00000:2\n", "rig.csv:3: 1 columns, the header names 3"},
        {"bad address", "frame,name,address\na00000:1,A,10.0.0.256\n", "rig.csv:2: \"10.0.0.256\" is not an IPv4 address"},
        {"no name", "frame,name\na00000:1,  \n", "rig.csv:2: frame 00a00000:00000001 has no name"},
        {"quote not closed", "frame,name\na00000:1,\"A\na00000:2,B\n", "rig.csv:2: a quoted field is not closed"},
    };
    for (const Case& c : cases) {
        try {
            Rig::Inventory::parse(c.csv, "rig.csv");
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const Rig::InputError& e) {
            EXPECT_EQ(std::string(e.what()), c.message) << c.what;
        }
    }
    EXPECT_THROW(Rig::Inventory::load("/nonexistent/rig.csv"), Rig::InputError);
}
