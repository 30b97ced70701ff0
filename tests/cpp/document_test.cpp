// The system document: what the reader accepts, error renderings, hostile input.
#include <cerrno>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "tests/cpp/bits.hpp"
#include "vedov/document/document.hpp"
#include "vedov/document/errors.hpp"
#include "zam/failure.hpp"

namespace {

std::string read_data(const std::string& name) {
    std::ifstream in(std::string(VEDOV_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The failure message without the common prefix; "" when the call succeeded.
std::string failure_of(std::string_view text) {
    try {
        vedov::from_yaml(text);
    } catch (const zam::Failure& f) {
        const std::string& message = f.message();
        EXPECT_TRUE(message.starts_with(vedov::document::failure_prefix)) << message;
        return message.substr(vedov::document::failure_prefix.size());
    }
    return {};
}

const std::string empty_fields =
    "meas: []\nphi: []\nts: []\ncom: []\ncov_model: []\nmeas_lines: []\nsimul_dt: 0.0\n"
    "meas_dt: 0.0\n";

TEST(Reader, EveryVariantLoadsItsValues) {
    const vedov::SystemGeom s = vedov::from_yaml(read_data("every_variant.yaml"));
    ASSERT_EQ(s.meas.size(), 4u);
    EXPECT_TRUE(std::holds_alternative<zam::Zero>(s.meas[0]));
    const auto& edge = std::get<zam::SlopeTwoEdge>(s.meas[3]);
    EXPECT_EQ(edge.npoints, 18446744073709551615ull);
    EXPECT_BITS_EQ(edge.central_line.yz, 5e-324);
    EXPECT_BITS_EQ(std::get<zam::SlopeTwoLine>(s.meas[2]).line_neg.xz, -0.0);
    ASSERT_EQ(s.com.size(), 3u);
    EXPECT_BITS_EQ(std::get<zam::Gaussian>(s.com[1]).position.z, 12000.0);
    EXPECT_BITS_EQ(std::get<zam::TipTilt>(s.com[2]).unit_response.y, 1.0);
    ASSERT_TRUE(s.pupil);
    ASSERT_EQ(s.pupil->spiders.size(), 2u);
    EXPECT_BITS_EQ(s.pupil->spiders[1].end.y, 3.4641016151377544);
    EXPECT_BITS_EQ(s.meas_dt, -1e100);
}

TEST(Reader, MergeKeysAliasesAndFlowStyle) {
    const vedov::SystemGeom s = vedov::from_yaml(
        "base: &base {x0: 1, xz: 2, y0: 3, yz: 4}\n"
        "more: &more {y0: 30, yz: 40, extra: [1, 2]}\n"
        "meas: []\nphi: []\nts: []\ncom: []\ncov_model: []\n"
        "meas_lines:\n"
        "- {<<: *base, x0: 10}\n"           // an explicit key wins over the merge
        "- {x0: 10, <<: [*more, *base]}\n"  // earlier sources win over later ones
        "- *base\n"
        "- <<: {<<: *base, xz: 20}\n"  // a merge source with a merge of its own
        "\"simul_dt\": 1 # a comment\n"
        "'meas_dt': 0x10\n");
    ASSERT_EQ(s.meas_lines.size(), 4u);
    EXPECT_EQ(s.meas_lines[0], (zam::Line{10, 2, 3, 4}));
    EXPECT_EQ(s.meas_lines[1], (zam::Line{10, 2, 30, 40}));
    EXPECT_EQ(s.meas_lines[2], (zam::Line{1, 2, 3, 4}));
    EXPECT_EQ(s.meas_lines[3], (zam::Line{1, 20, 3, 4}));
    EXPECT_BITS_EQ(s.simul_dt, 1.0);
    EXPECT_BITS_EQ(s.meas_dt, 16.0);
}

struct Refusal {
    const char* text;
    const char* error;
};

class ContentError : public testing::TestWithParam<Refusal> {};

TEST_P(ContentError, NamesPathAndPosition) {
    EXPECT_EQ(failure_of(GetParam().text), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Reader, ContentError,
    testing::Values(
        Refusal{"meas_lines: [{<<: 5}]",
                "Error(\"meas_lines[0]: expected a mapping or list of mappings for merging, but "
                "found scalar\", line: 1, column: 19)"},
        Refusal{"meas_lines: [{<<: [{}, x]}]",
                "Error(\"meas_lines[0]: expected a mapping for merging, but found scalar\", "
                "line: 1, column: 24)"},
        Refusal{"meas_lines: [{<<: [[]]}]",
                "Error(\"meas_lines[0]: expected a mapping for merging, but found sequence\", "
                "line: 1, column: 20)"},
        Refusal{"meas_lines: [{x0: 1, x0: 2}]",
                "Error(\"meas_lines[0]: duplicate field `x0`\", line: 1, column: 22)"},
        Refusal{"meas_lines: [{? {a: 1} : 2}]",
                "Error(\"meas_lines[0]: invalid type: map, expected field identifier\", line: 1, "
                "column: 17)"},
        Refusal{"simul_dt: !!float x",
                "Error(\"simul_dt: invalid value: string \\\"x\\\", expected a float\", line: 1, "
                "column: 11)"},
        Refusal{"simul_dt: \"a\\\"b\\\\c\\n\"",
                "Error(\"simul_dt: invalid type: string \\\"a\\\\\\\"b\\\\\\\\c\\\\n\\\", "
                "expected f64\", line: 1, column: 11)"},
        Refusal{"meas: [!SlopeTwoEdge {npoints: 0x1p3}]",
                "Error(\"meas[0].npoints: invalid type: string \\\"0x1p3\\\", expected u64\", "
                "line: 1, column: 32)"},
        Refusal{"a: &x 1\na: &x 2\nb: *x\nb: *y",
                "Error(\"unknown anchor\", line: 4, column: 4)"}));

TEST(ErrorRendering, OsErrorKinds) {
    using vedov::document::os_error_kind;
    // The kinds files meet most, and names that differ from the error number's own.
    EXPECT_STREQ(os_error_kind(ENOENT), "NotFound");
    EXPECT_STREQ(os_error_kind(EPERM), "PermissionDenied");
    EXPECT_STREQ(os_error_kind(EISDIR), "IsADirectory");
    EXPECT_STREQ(os_error_kind(ENAMETOOLONG), "InvalidFilename");
    EXPECT_STREQ(os_error_kind(EDQUOT), "QuotaExceeded");
    EXPECT_STREQ(os_error_kind(EWOULDBLOCK), "WouldBlock");
    EXPECT_STREQ(os_error_kind(EDOM), "Uncategorized");
    EXPECT_STREQ(os_error_kind(0), "Uncategorized");
}

TEST(ErrorRendering, QuotedEscapes) {
    namespace doc = vedov::document;
    EXPECT_EQ(doc::quoted("plain"), "\"plain\"");
    EXPECT_EQ(doc::quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(doc::quoted(std::string("\n\t\r\0\x1b\x7f", 6)), "\"\\n\\t\\r\\0\\u{1b}\\u{7f}\"");
    EXPECT_EQ(doc::quoted("\xc2\x85 \xc3\xa9"), "\"\\u{85} \xc3\xa9\"");  // NEL escaped, é kept
}

TEST(ErrorRendering, SyntaxErrorsWinOverContent) {
    // The first document's content is wrong, but the stream breaks later on.
    EXPECT_EQ(failure_of("meas: 5\nb: [\n"),
              "Error { kind: PARSER, problem: \"did not find expected node content\", "
              "problem_mark: Mark { line: 3, column: 1 }, context: \"while parsing a flow node\", "
              "context_mark: Mark { line: 3, column: 1 } }");
    EXPECT_EQ(failure_of("\xef\xbb\xbf" + empty_fields), "");  // a byte-order mark is fine
    EXPECT_EQ(failure_of("a: \xff"),
              "Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }");
}

// Mutated documents must either load or fail with a Failure: never crash, hang or throw else.
TEST(HostileInput, MutatedDocumentsNeverEscape) {
    const std::string seeds[] = {read_data("every_variant.yaml"), read_data("small_system.yaml"),
                                 "a: &a [*a2, {<<: *b}]\n" + empty_fields};
    const std::string alphabet = "-:[]{}!&*<>|'\"#%@`,?\n \t0.e+x~\\\x01\xc3";
    std::mt19937 random(7);
    int loaded = 0;
    for (int k = 0; k < 3000; ++k) {
        std::string text = seeds[k % 3];
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            const std::size_t at = random() % text.size();
            const char c = alphabet[random() % alphabet.size()];
            switch (random() % 3) {
                case 0: text[at] = c; break;
                case 1: text.insert(at, 1, c); break;
                default: text.erase(at, 1 + random() % 8); break;
            }
        }
        try {
            vedov::from_yaml(text);
            ++loaded;
        } catch (const zam::Failure&) {
        }
    }
    EXPECT_GT(loaded, 0);
}

}  // namespace
