// Connection strings: splitting, quoting, case-blind keys, and what the compactor accepts
// or refuses in source and destination strings.
#include <gtest/gtest.h>

#include "jet/engine/Connection_String.h"
#include "jet/util/Error.h"
#include "support/Error_Kinds.h"

namespace kelbrook::jet {
namespace {

struct Parse_Case {
    const char* text;
    const char* data_source;  // nullptr: absent
    const char* database_password;
    std::optional<int> engine_type;
    std::optional<bool> encrypt;
};

class Parse_Test : public ::testing::TestWithParam<Parse_Case> {};

TEST_P(Parse_Test, FindsTheHonouredKeys) {
    const auto& c = GetParam();
    const auto s = Parse_Connection_String(c.text);
    if (c.data_source) {
        ASSERT_TRUE(s.data_source);
        EXPECT_EQ(*s.data_source, c.data_source);
    } else {
        EXPECT_FALSE(s.data_source);
    }
    if (c.database_password) {
        ASSERT_TRUE(s.database_password);
        EXPECT_EQ(*s.database_password, c.database_password);
    } else {
        EXPECT_FALSE(s.database_password);
    }
    EXPECT_EQ(s.engine_type, c.engine_type);
    EXPECT_EQ(s.encrypt, c.encrypt);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, Parse_Test,
    ::testing::Values(
        Parse_Case{"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\a\\b.mdb;User ID=Admin;"
                   "Jet OLEDB:Database Password=wexo4m;",
                   "C:\\a\\b.mdb", "wexo4m", std::nullopt, std::nullopt},
        Parse_Case{"Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Engine Type=5;Data Source=C:\\n.mdb;"
                   "Jet OLEDB:Database Password=;",
                   "C:\\n.mdb", "", 5, std::nullopt},
        Parse_Case{"  data SOURCE  =  x.mdb  ;JET OLEDB:ENCRYPT DATABASE=true", "x.mdb", nullptr,
                   std::nullopt, true},
        Parse_Case{"Data Source=\"a;b.mdb\";Jet OLEDB:Database Password='it''s'", "a;b.mdb", "it's",
                   std::nullopt, std::nullopt},
        Parse_Case{"Data Source=\"say \"\"hi\"\"\" ; Jet OLEDB:Encrypt Database = False", "say \"hi\"",
                   nullptr, std::nullopt, false},
        Parse_Case{";;Data Source=first;Data Source=second;;", "second", nullptr, std::nullopt,
                   std::nullopt},
        Parse_Case{"Mode=Share Deny None;Extended Properties=\"x=1;y=2\";Data Source=z", "z", nullptr,
                   std::nullopt, std::nullopt},
        Parse_Case{"Jet OLEDB:Database Password= spaced ;Data Source=d", "d", "spaced", std::nullopt,
                   std::nullopt},
        Parse_Case{"", nullptr, nullptr, std::nullopt, std::nullopt}));

TEST(Parse_Connection_String, RefusesMalformedStrings) {
    for (const char* text : {"Data Source", "=x", "Data Source=\"open", "Data Source=\"a\" b;",
                             "Jet OLEDB:Engine Type=five", "Jet OLEDB:Encrypt Database=maybe",
                             "Locale Identifier=-3"}) {
        SCOPED_TRACE(text);
        EXPECT_JET_ERROR(Parse_Connection_String(text), Error_Kind::Unsupported);
    }
}

struct Interpret_Case {
    const char* source;
    const char* destination;
    const char* error_part;  // nullptr: accepted
};

class Interpret_Test : public ::testing::TestWithParam<Interpret_Case> {};

TEST_P(Interpret_Test, AcceptsOrNamesTheFault) {
    const auto& c = GetParam();
    auto run = [&] {
        const auto s = Interpret_Source(Parse_Connection_String(c.source));
        return Interpret_Destination(Parse_Connection_String(c.destination), s);
    };
    if (!c.error_part) {
        EXPECT_NO_THROW(run());
        return;
    }
    try {
        run();
        ADD_FAILURE() << "accepted";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find(c.error_part), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, Interpret_Test,
    ::testing::Values(
        Interpret_Case{"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=a;User ID=Admin;",
                       "Provider=microsoft.jet.oledb.4.0;Jet OLEDB:Engine Type=5;Data Source=b", nullptr},
        Interpret_Case{"Data Source=a", "Data Source=b;User ID=admin;Password=", nullptr},
        Interpret_Case{"Data Source=a", "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=b", nullptr},
        Interpret_Case{"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=a", "Data Source=b",
                       "not supported"},
        Interpret_Case{"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=a",
                       "Provider=Microsoft.Jet.OLEDB.3.51;Data Source=b", "not supported"},
        Interpret_Case{"User ID=Admin", "Data Source=b", "Data Source is missing"},
        Interpret_Case{"Data Source=a", "Jet OLEDB:Engine Type=5", "Data Source is missing"},
        Interpret_Case{"Data Source=a", "Data Source=b;Jet OLEDB:Engine Type=4", "Engine type 4"},
        Interpret_Case{"Data Source=a;User ID=Bob", "Data Source=b", "User-level security"},
        Interpret_Case{"Data Source=a;Password=x", "Data Source=b", "User-level security"},
        Interpret_Case{"Data Source=a", "Data Source=b;User ID=Eve", "User-level security"}));

TEST(Interpret_Destination, CarriesPasswordEncryptionAndLocale) {
    const auto s = Interpret_Source(
        Parse_Connection_String("Data Source=a;Jet OLEDB:Database Password=old;Locale Identifier=1033"));
    EXPECT_EQ(s.password, "old");
    EXPECT_EQ(s.locale, 1033u);
    const auto d = Interpret_Destination(
        Parse_Connection_String("Data Source=b;Jet OLEDB:Database Password=new;"
                                "Jet OLEDB:Encrypt Database=True;Locale Identifier=1033"),
        s);
    EXPECT_EQ(d.password, "new");
    EXPECT_EQ(d.encrypt, true);
    EXPECT_EQ(d.locale, 1033u);
    const auto plain = Interpret_Destination(Parse_Connection_String("Data Source=b"), s);
    EXPECT_EQ(plain.password, "");
    EXPECT_FALSE(plain.encrypt);
}

}  // namespace
}  // namespace kelbrook::jet
