// qivtrace's modules: reading a record's columns, the time bounds and filters, the time order
// of several files, and following files that the trace rotates, truncates and reuses.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "qivtrace/impl/merge.hpp"
#include "qivtrace/impl/options.hpp"
#include "qivtrace/impl/record.hpp"
#include "qivtrace/impl/tracefiles.hpp"
#include "support/testutil.hpp"

using namespace qivtrace;

namespace {

// Records as the trace writes them (the dump head with its inner line ends).
const std::string kRecI =
    "20261209.070339.123 w9999I main     OQIVhub  0149 QIVhub\n";
const std::string kDumpHead =
    "20261209.070340.000 ..0000B stress0  OStress  *trace dump( 0x0000BEEF: length=20 )\n"
    "    offset:   00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F |ASCII...........|\n"
    "    --------------------------------------------------------- |----------------|\n";
const std::string kDumpRows =
    "    00000000: 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 |ABCDEFGHIJKLMNOP|\n"
    "    00000010: 51 52 53 54                                     |QRST            |\n";
const std::string kHeader =
    "\n-------------------+------+--------+--------+----+---------- - - -\n"
    "yyyyMMDD.HHMMSS.mmm a ID l Thread   Object   Line Message\n"
    "-------------------+------+--------+--------+----+---------- - - -\n";

std::string concat(const std::vector<Group> &groups) {
  std::string out;
  for (const Group &g : groups) out.append(g.text);
  return out;
}

// Every file's text grouped as qivtrace reads it, then merged.
std::string merged(const std::vector<std::string> &texts, const Filter &filter = Filter()) {
  std::vector<std::vector<Group>> files;
  std::vector<FileState> states(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    files.emplace_back();
    groupLines(texts[i], filter, states[i], &files.back());
  }
  return concat(mergeGroups(std::move(files)));
}

TEST(QivtraceRecordTest, ColumnsAreFoundWhateverTheCodeAndApplicationWidth) {
  struct Case {
    std::string line;
    bool stamped;
    char level;
    std::string thread, object;
  } cases[] = {
      {kRecI, true, 'I', "main    ", "OQIVhub "},
      // Without an object the message stands in the object column.
      {"20261209.070339.123 w9999W tracewri Queue full", true, 'W', "tracewri", "Queue fu"},
      {"20261209.070339.123 w-001E main     OFile    0012 x", true, 'E', "main    ", "OFile   "},
      {"20261209.070339.123 w12345M main     ONode    0012 x", true, 'M', "main    ", "ONode   "},
      {kDumpHead, true, 'B', "stress0 ", "OStress "},
      // An empty application identifier leaves a blank in its column.
      {"20261209.070339.123  0001I main     OA       0001 x", true, 'I', "main    ", "OA      "},
      {"20261209.070339.123 w0001", true, '1', "", ""},  // a record cut short
      {"20261209.070339.12 w0001I main", false, 0, "", ""},
      {"yyyyMMDD.HHMMSS.mmm a ID l Thread   Object   Line Message", false, 0, "", ""},
      {"    00000000: 41 42 |AB|", false, 0, "", ""},
      {"       pwd = /var/log/qivhub", false, 0, "", ""},
      {"", false, 0, "", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.line);
    Record r;
    std::string firstLine = c.line.substr(0, c.line.find('\n'));
    ASSERT_EQ(parseRecord(firstLine, &r), c.stamped);
    if (!c.stamped) continue;
    EXPECT_EQ(r.level, c.level);
    EXPECT_EQ(std::string(r.thread), c.thread);
    EXPECT_EQ(std::string(r.object), c.object);
  }
}

TEST(QivtraceRecordTest, BoundsAcceptStampPrefixesAndIsoFormsOnly) {
  const std::pair<const char *, const char *> good[] = {
      {"2026", "2026"},
      {"20261209", "20261209"},
      {"20261209.0703", "20261209.0703"},
      {"20261209.070339.123", "20261209.070339.123"},
      {"2026-12-09", "20261209"},
      {"2026-12-09T07", "20261209.07"},
      {"2026-12-09T07:03", "20261209.0703"},
      {"2026-12-09 07:03:39", "20261209.070339"},
      {"2026-12-09T07:03:39.5", "20261209.070339.5"},
  };
  for (const auto &g : good) {
    std::string prefix;
    EXPECT_TRUE(parseBound(g.first, &prefix)) << g.first;
    EXPECT_EQ(prefix, g.second) << g.first;
  }
  const char *bad[] = {"",           "202",        "20261209.",           "2026120a",
                       "20261309",   "20261200",   "20261209.250000",     "20261209.070339.1234",
                       "2026-12",    "2026-12-9",  "2026-12-09T7:03",     "2026-12-09X07",
                       "2026-12-09T07:03:39.1234", "2026-13-09", "2026-12-09T07:61", "yesterday"};
  for (const char *b : bad) {
    std::string prefix = "unchanged";
    EXPECT_FALSE(parseBound(b, &prefix)) << b;
    EXPECT_EQ(prefix, "unchanged") << b;
  }
}

TEST(QivtraceRecordTest, FiltersMatchColumnsAsWrittenAndBoundsInclusively) {
  Record r;
  ASSERT_TRUE(parseRecord("20261209.070339.123 w0001W stress12 OStressXY 0001 x", &r));
  struct Case {
    Filter filter;
    bool shown;
  } cases[] = {
      {{"EW", "", "", "", ""}, true},
      {{"ew", "", "", "", ""}, false},  // letters are case-sensitive
      {{"", "stress12345", "", "", ""}, true},  // cut to the 8 columns the trace writes
      {{"", "stress1", "", "", ""}, false},
      {{"", "", "OStressX", "", ""}, true},
      {{"", "", "", "20261209", "20261209"}, true},  // a day's bounds take in the whole day
      {{"", "", "", "20261209.070339.123", "20261209.070339.123"}, true},
      {{"", "", "", "20261209.070339.124", ""}, false},
      {{"", "", "", "", "20261209.070338"}, false},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.filter.matches(r), c.shown)
        << c.filter.levels << "|" << c.filter.thread << "|" << c.filter.object << "|"
        << c.filter.since << "|" << c.filter.until;
  }
}

TEST(QivtraceOptionsTest, WrongCommandLinesAreRefusedAndRightOnesRead) {
  auto parse = [](std::vector<const char *> args, Options *o, std::string *error) {
    args.insert(args.begin(), "qivtrace");
    return parseOptions(static_cast<int>(args.size()), const_cast<char **>(args.data()), o,
                        error);
  };
  std::vector<std::vector<const char *>> wrong = {
      {"-x"}, {"-l"}, {"-l", "EX"}, {"--since", "tomorrow"}, {"a", "b"}, {"-t", ""},
      {"dir/qivhub"}};
  for (const auto &args : wrong) {
    Options o;
    std::string error;
    EXPECT_EQ(parse(args, &o, &error), Parsed::kError) << args[0];
    EXPECT_FALSE(error.empty());
  }
  Options o;
  std::string error;
  ASSERT_EQ(parse({"-f", "other", "-d", "/tmp", "-l", "EW", "--until", "2026-12-09"}, &o,
                  &error),
            Parsed::kRun);
  EXPECT_TRUE(o.follow);
  EXPECT_EQ(o.base, "other");  // the word after -f is the base, not a value of -f
  EXPECT_EQ(o.directory, "/tmp");
  EXPECT_EQ(o.filter.until, "20261209");
  EXPECT_EQ(parse({"-l", "E", "--help"}, &o, &error), Parsed::kHelp);
}

TEST(QivtraceMergeTest, RecordsOfAllFilesComeInStampOrderWithTheirLines) {
  // qivhub.000.trc was reused after .001 and holds the newest records; its first lines are the
  // column header. The dump head and rows stay with their record.
  std::string reused = kHeader + "20261209.070345.000 w0001I main     OA       0001 newest\n";
  std::string older = kRecI + kDumpHead + kDumpRows +
                      "20261209.070344.000 w0001I main     OA       0001 older\n";
  std::string out = merged({reused, older});
  EXPECT_EQ(out, kRecI + kDumpHead + kDumpRows +
                     "20261209.070344.000 w0001I main     OA       0001 older\n" + kHeader +
                     "20261209.070345.000 w0001I main     OA       0001 newest\n");
}

TEST(QivtraceMergeTest, RecordsStampedAlikeKeepFileThenWriteOrder) {
  // Threads take stamps before the writer's queue orders them: a file is nearly sorted.
  std::string a = "20261209.070339.200 w0001I t1       OA       0001 a1\n"
                  "20261209.070339.100 w0001I t2       OA       0001 a2\n"
                  "20261209.070339.300 w0001I t1       OA       0001 a3\n";
  std::string b = "20261209.070339.100 w0001I t3       OA       0001 b1\n"
                  "20261209.070339.300 w0001I t3       OA       0001 b2\n";
  std::vector<std::string> lines = splitLines(merged({b, a}));
  std::vector<std::string> ends;
  for (const std::string &l : lines) ends.push_back(l.substr(l.size() - 2));
  // b's first record is the earlier one, so b leads among equal stamps.
  EXPECT_EQ(ends, (std::vector<std::string>{"b1", "a2", "a1", "b2", "a3"}));
}

TEST(QivtraceMergeTest, FilterTakesOrLeavesARecordWithItsLines) {
  std::string text = kHeader + kRecI + "       pwd = /var/log\n" + kDumpHead + kDumpRows +
                     "20261209.070341.000 w0001E main     OFile    0001 cut short";
  Filter levels;
  levels.levels = "B";
  EXPECT_EQ(merged({text}, levels), kDumpHead + kDumpRows);
  Filter thread;
  thread.thread = "main";
  EXPECT_EQ(merged({text}, thread),
            kRecI + "       pwd = /var/log\n" +
                "20261209.070341.000 w0001E main     OFile    0001 cut short");
  // Unfiltered, every line passes through once and unchanged.
  EXPECT_EQ(merged({text}), text);
}

TEST(QivtraceMergeTest, LinesReadLaterStayWithTheRecordReadBefore) {
  Filter filter;
  filter.levels = "B";
  FileState state;
  std::vector<Group> first, second;
  const std::string firstText = kRecI + kDumpHead, secondText = kDumpRows + kRecI;
  groupLines(firstText, filter, state, &first);
  groupLines(secondText, filter, state, &second);
  EXPECT_EQ(concat(mergeGroups({first})), kDumpHead);
  EXPECT_EQ(concat(mergeGroups({second})), kDumpRows);
}

// --- files ---------------------------------------------------------------------------------

class QivtraceFilesTest : public ::testing::Test {
 protected:
  TempDir dir{"qivtrace"};
  TraceFiles files{dir.path(), "qivhub"};

  // What one poll reads, file by file in the order read; "|" marks a reset.
  std::string poll(bool hold = true) {
    std::vector<Chunk> chunks;
    files.poll(hold, &chunks);
    std::string out;
    for (const Chunk &c : chunks) out += (c.reset ? "|" : "") + c.text;
    return out;
  }
  void append(const std::string &name, const std::string &text) {
    writeFile(dir.at(name), readFile(dir.at(name)) + text);
  }
};

TEST_F(QivtraceFilesTest, OnlyTheBasesNumberedFilesAreRead) {
  for (const char *name : {"qivhub.000.trc", "qivhub.1000.trc"})
    EXPECT_TRUE(TraceFiles::isTraceName(name, "qivhub")) << name;
  for (const char *name : {"qivhub.01.trc", "qivhub.000.trc.bak", "qivhubx.000.trc",
                           "other.000.trc", "qivhub.exc", "qivhub.00a.trc"})
    EXPECT_FALSE(TraceFiles::isTraceName(name, "qivhub")) << name;
  std::vector<Chunk> chunks;
  EXPECT_FALSE(files.poll(true, &chunks));
  writeFile(dir.at("qivhub.exc"), kRecI);
  EXPECT_FALSE(files.poll(true, &chunks));
  writeFile(dir.at("qivhub.000.trc"), "");
  EXPECT_TRUE(files.poll(true, &chunks));
  EXPECT_TRUE(chunks.empty());
}

TEST_F(QivtraceFilesTest, ALineIsHeldUntilItsLineEndArrives) {
  writeFile(dir.at("qivhub.000.trc"), kRecI + "20261209.070341.000 w0001I ma");
  EXPECT_EQ(poll(), kRecI);
  EXPECT_EQ(poll(), "");
  append("qivhub.000.trc", "in     OA       0001 done\n");
  EXPECT_EQ(poll(), "20261209.070341.000 w0001I main     OA       0001 done\n");
  // Read once without following, the cut line is read as it stands.
  TraceFiles once(dir.path(), "qivhub");
  append("qivhub.000.trc", "tail");
  std::vector<Chunk> chunks;
  once.poll(false, &chunks);
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].text.substr(chunks[0].text.size() - 5), "\ntail");
}

TEST_F(QivtraceFilesTest, AReusedOrReplacedFileIsReadAgainFromItsStart) {
  std::string old = kRecI + kRecI;
  writeFile(dir.at("qivhub.000.trc"), old);
  EXPECT_EQ(poll(), old);
  // Truncated and filled again past the size read before: same inode, new first bytes.
  std::string longer = std::string(kDumpHead) + kDumpRows + kRecI;
  FILE *f = fopen(dir.at("qivhub.000.trc").c_str(), "r+");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(ftruncate(fileno(f), 0), 0);
  fwrite(longer.data(), 1, longer.size(), f);
  fclose(f);
  EXPECT_EQ(poll(), "|" + longer);
  // Shorter than before.
  writeFile(dir.at("qivhub.000.trc"), kRecI);
  EXPECT_EQ(poll(), "|" + kRecI);
  // Replaced by another file under the name, the held line of the old one shown first.
  append("qivhub.000.trc", "20261209.070341.000 w0001E cut");
  EXPECT_EQ(poll(), "");
  writeFile(dir.at("new"), kRecI);
  ASSERT_EQ(rename(dir.at("new").c_str(), dir.at("qivhub.000.trc").c_str()), 0);
  EXPECT_EQ(poll(), "20261209.070341.000 w0001E cut\n|" + kRecI);
  // A new number appears.
  writeFile(dir.at("qivhub.001.trc"), kDumpHead);
  EXPECT_EQ(poll(), kDumpHead);
}

}  // namespace
