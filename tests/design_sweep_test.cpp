#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>

#include "analysis/summary_data.hpp"
#include "base/csv.hpp"
#include "batch/design.hpp"
#include "batch/manifest.hpp"
#include "batch/merge.hpp"
#include "batch/sweep_command.hpp"
#include "console/cli_sweep.hpp"
#include "console/config_file.hpp"
#include "test_support.hpp"

namespace hostswitch {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

SweepRequest request_in(const TempDir& dir, const std::string& summary) {
  SweepRequest request;
  request.plan.replicates = 2;
  request.base_seed = 11;
  request.jobs = 2;
  request.summary = dir / summary;
  request.run_dir = dir / "runs";
  request.plan.executable = HOSTSWITCH_EXECUTABLE;
  return request;
}

int sweep(const SweepRequest& request) {
  const CommandReport report = request.part ? sweep_part(request) : sweep_into_summary(request);
  EXPECT_TRUE(report.warnings.empty());
  return report.status;
}

TEST(DesignSweep, AGridDesignFileGivesTheGridSweepsBytes) {
  const TempDir dir;
  const ParameterLists lists{{20, 40}, {0.5}, {1000}, {0.05, 0.2, 0.5}, {1}, {0.5}, {2}, {60}};
  SweepRequest grid = request_in(dir, "grid.csv");
  use_grid(grid, lists, expand_grid(lists));
  ASSERT_EQ(sweep(grid), 0);

  write_file(dir / "design.csv", design_csv(grid_design(lists)));
  SweepRequest designed = request_in(dir, "designed.csv");
  use_design(designed, read_design(dir / "design.csv", typical_parameters()),
             (dir / "design.csv").string());
  ASSERT_EQ(sweep(designed), 0);
  EXPECT_EQ(read_file(dir / "designed.csv"), read_file(dir / "grid.csv"));
}

// The lines of `text` after its header whose field `column` (from 0) is one of `keep`.
std::string lines_with(const std::string& text, std::size_t column,
                       const std::vector<std::string>& keep) {
  std::istringstream lines(text.substr(text.find('\n') + 1));
  std::string kept;
  for (std::string line; std::getline(lines, line);) {
    const std::vector<std::string> fields = csv_fields_of(line, "line");
    if (std::find(keep.begin(), keep.end(), fields.at(column)) != keep.end()) kept += line + '\n';
  }
  return kept;
}

TEST(DesignSweep, ASliceOfAGridDesignSweepsToTheFullSweepsRowsForItsPoints) {
  const TempDir dir;
  const ParameterLists lists{{20, 40}, {0.5}, {1000}, {0.05, 0.2, 0.5}, {1}, {0.5}, {2}, {60}};
  const std::string design = design_csv(grid_design(lists));
  write_file(dir / "design.csv", design);
  SweepRequest full = request_in(dir, "full.csv");
  use_design(full, read_design(dir / "design.csv", typical_parameters()), "design.csv");
  ASSERT_EQ(sweep(full), 0);
  const std::string whole = read_file(dir / "full.csv");
  const std::string header = design.substr(0, design.find('\n') + 1);

  // Every third row from the second (points 2 and 5), and the rows where the first parameter
  // is 40 (points 4 to 6); the summary's grid_index follows the eight parameter columns.
  const std::vector<std::vector<std::string>> slices = {{"2", "5"}, {"4", "5", "6"}};
  for (const auto& points : slices) {
    const std::string slice = header + lines_with(design, 0, points);
    write_file(dir / "slice.csv", slice);
    SweepRequest part = request_in(dir, "slice-summary.csv");
    part.overwrite = true;
    use_design(part, read_design(dir / "slice.csv", typical_parameters()), "slice.csv");
    ASSERT_EQ(sweep(part), 0);
    const std::string swept = read_file(dir / "slice-summary.csv");
    EXPECT_EQ(swept.substr(0, swept.find('\n')), whole.substr(0, whole.find('\n')));
    const std::string expected = lines_with(whole, kParameterCount, points);
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'),
              static_cast<std::ptrdiff_t>(points.size() * 2));  // two replicates a point
    EXPECT_EQ(swept.substr(swept.find('\n') + 1), expected);

    // The manifest keeps each point's number: the design reads back whole from it.
    EXPECT_EQ(design_csv(load_design(dir / "slice-summary.csv.json", typical_parameters())), slice);
    // A run directory numbers points by row, so it refuses such a slice.
    part.part = 1;
    part.parts = 1;
    try {
      sweep_part(part);
      ADD_FAILURE() << "a run directory took points numbered from " << points.front();
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find("--part: the design's point column"),
                std::string::npos)
          << error.what();
    }
  }
}

TEST(DesignSweep, PartsFromTheRunDirectoryAndRunCommandsMergeToTheInProcessBytes) {
  const TempDir dir;
  auto base = typical_parameters();
  base.n_gen = 40;
  const Design design =
      morris_design(base, {parse_range("emig_rate=0:0.5"), parse_range("n_pop=20:80")}, {3, 4, 2});
  write_file(dir / "design.csv", design_csv(design));
  SweepRequest whole = request_in(dir, "summary.csv");
  use_design(whole, read_design(dir / "design.csv", base), "design.csv");
  ASSERT_EQ(sweep(whole), 0);
  const std::string summary = read_file(dir / "summary.csv");
  EXPECT_EQ(summary.substr(0, summary.find('\n')).substr(summary.find(",longest_stay")),
            ",longest_stay,trajectory,step");
  EXPECT_NE(summary.find(",3,2\n"), std::string::npos);  // trajectory 3, step 2

  // Parts: the first writes the manifest; the others read the design from it alone.
  for (const int part : {1, 2, 3}) {
    SweepRequest slice = request_in(dir, "unused.csv");
    const auto source = part == 1 ? dir / "design.csv" : run_manifest_path(dir / "runs");
    use_design(slice, load_design(source, base), source.string());
    slice.part = part;
    slice.parts = 3;
    ASSERT_EQ(sweep(slice), 0) << part;
  }
  std::ostringstream out, err;
  MergeRequest merge;
  merge.inputs = {dir / "runs"};
  merge.summary = dir / "merged.csv";
  ASSERT_EQ(merge_command(merge, out).status, 0);
  EXPECT_EQ(read_file(dir / "merged.csv"), summary);
  EXPECT_NE(part_command(read_manifest(run_manifest_path(dir / "runs")), 2)
                .find(" --design " + run_manifest_path(dir / "runs").string() + " --replicates 2"),
            std::string::npos);

  // One `run` command a replicate: the merge adds the design's columns to their rows.
  SweepRequest commands = request_in(dir, "unused.csv");
  commands.run_dir = dir / "per-run";
  use_design(commands, read_design(dir / "design.csv", base), "design.csv");
  std::ostringstream lines;
  ASSERT_EQ(emit_sweep_commands(commands, lines), 0);
  std::istringstream list(lines.str());
  for (std::string command; std::getline(list, command);) {
    ASSERT_EQ(std::system((command + " >/dev/null").c_str()), 0) << command;
  }
  merge.inputs = {dir / "per-run"};
  merge.summary = dir / "merged-runs.csv";
  ASSERT_EQ(merge_command(merge, out).status, 0);
  EXPECT_EQ(read_file(dir / "merged-runs.csv"), summary);

  // A resume whose design changed in one row is refused, naming it.
  Design changed = design;
  changed.points[4].emig_rate = 0.3;
  SweepRequest resume = request_in(dir, "summary.csv");
  use_design(resume, changed, "design.csv");
  resume.resume = true;
  try {
    sweep(resume);
    ADD_FAILURE() << "a changed design was resumed";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()).rfind("--resume: --design: row 5 is ", 0), 0u)
        << error.what();
  }
}

TEST(DesignSweep, QuotedLabelsReadBackFromTheSummaryAsWritten) {
  const TempDir dir;
  auto base = typical_parameters();
  base.n_gen = 5;
  // As a spreadsheet saves it: a byte-order mark, CR LF, quoted fields.
  write_file(dir / "design.csv",
             "\xEF\xBB\xBF"
             "emig_rate,site,\"note, long\"\r\n0.1,\"a,b\",plain\r\n0.2,\"c\"\"d\",\"\"\r\n");
  SweepRequest request = request_in(dir, "summary.csv");
  use_design(request, read_design(dir / "design.csv", base), "design.csv");
  ASSERT_EQ(sweep(request), 0);
  const std::string text = read_file(dir / "summary.csv");
  EXPECT_NE(text.find(",longest_stay,site,\"note, long\"\n"), std::string::npos);
  EXPECT_NE(text.find(",\"a,b\",plain\n"), std::string::npos);

  const SummaryData summary = read_summary(dir / "summary.csv");
  EXPECT_EQ(summary.label_names, (std::vector<std::string>{"site", "note, long"}));
  ASSERT_EQ(summary.points.size(), 2u);
  EXPECT_EQ(csv_fields_of(summary.points[0].labels, "labels"),
            (std::vector<std::string>{"a,b", "plain"}));
  EXPECT_EQ(csv_fields_of(summary.points[1].labels, "labels"),
            (std::vector<std::string>{"c\"d", ""}));
  EXPECT_EQ(summary.points[1].parameters.emig_rate, 0.2);
  // merge reads the same rows back to the same text.
  EXPECT_EQ(merge_summaries({dir / "summary.csv"}).text, text);
}

// Runs `hostswitch ARGS` in `dir`, its messages into dir/err.txt; the exit status.
int hostswitch_in(const TempDir& dir, const std::string& args) {
  const std::string command = "cd '" + dir.path().string() + "' && " HOSTSWITCH_EXECUTABLE " " +
                              args + " >/dev/null 2>err.txt";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(DesignCommand, GridDesignSweepsAsTheGridAndAResumeAfterATornRowEndsTheSame) {
  const TempDir dir;
  const std::string grid = "--n-pop 20,40 --emig-rate 0.05,0.2,0.5 --n-gen 60";
  ASSERT_EQ(hostswitch_in(dir, "sweep " + grid + " --replicates 3 --seed 5 --summary grid.csv"), 0);
  ASSERT_EQ(hostswitch_in(dir, "design grid " + grid + " -o design.csv"), 0);
  ASSERT_EQ(hostswitch_in(dir, "sweep --design design.csv --replicates 3 --seed 5 --summary d.csv"),
            0);
  const std::string summary = read_file(dir / "grid.csv");
  EXPECT_EQ(read_file(dir / "d.csv"), summary);

  // Cut after row 7 and half of row 8, as a kill leaves it; the resume ends byte-identical.
  std::size_t cut = 0;
  for (int line = 0; line < 8; ++line) cut = summary.find('\n', cut) + 1;
  write_file(dir / "d.csv", summary.substr(0, cut + 20));
  ASSERT_EQ(hostswitch_in(dir, "sweep --design design.csv --replicates 3 --summary d.csv --resume"),
            0)
      << read_file(dir / "err.txt");
  EXPECT_EQ(read_file(dir / "d.csv"), summary);

  // A user's file with a bad row is refused before anything is written.
  write_file(dir / "user.csv", "point,emig_rate,site\n1,0.1,a\n2,1.5,b\n");
  EXPECT_EQ(hostswitch_in(dir, "sweep --design user.csv --summary user-summary.csv"), 2);
  EXPECT_EQ(
      read_file(dir / "err.txt")
          .rfind("hostswitch sweep: --design: user.csv:3: emig_rate: must lie between 0 and 1", 0),
      0u)
      << read_file(dir / "err.txt");
  EXPECT_FALSE(std::filesystem::exists(dir / "user-summary.csv"));
  EXPECT_FALSE(std::filesystem::exists(dir / "user-summary.json"));
}

TEST(ConfigFile, FlagsComeFromTomlAndTheCommandLineWins) {
  const TempDir dir;
  ASSERT_EQ(hostswitch_in(dir,
                          "sweep --emig-rate 0.05,0.2 --n-gen 20 --replicates 2 --seed 4 "
                          "--summary flags.csv"),
            0);
  // A list as a TOML array, an underscore key, a flag's own section; another command's section
  // is passed over and --n-gen on the command line overrides the file's.
  write_file(dir / "sweep.toml",
             "n_gen = 90\nemig-rate = [0.05, 0.2]\n[run]\nsdr = 7\n[sweep]\nreplicates = 2\n"
             "seed = 4\nsummary = \"config.csv\"\n");
  ASSERT_EQ(hostswitch_in(dir, "sweep --config sweep.toml --n-gen 20"), 0)
      << read_file(dir / "err.txt");
  EXPECT_EQ(read_file(dir / "config.csv"), read_file(dir / "flags.csv"));
  // The manifest records the values taken from the file.
  EXPECT_NE(read_file(dir / "config.csv.json").find("\"--emig-rate\",\n    \"0.05,0.2\""),
            std::string::npos)
      << read_file(dir / "config.csv.json");

  write_file(dir / "bad.toml", "colour = 3\n");
  EXPECT_EQ(hostswitch_in(dir, "run --config bad.toml"), 2);
  EXPECT_NE(read_file(dir / "err.txt").find("bad.toml:1: 'colour' is not a flag of run"),
            std::string::npos);
}

// The words a sweep takes from the TOML `text` after `args` on its command line, or the
// refusal.
std::string sweep_config(const std::string& text, const std::vector<std::string>& args) {
  CLI::App program;
  SweepOptions options;
  CLI::App* sweep = setup_sweep(program, options);
  program.add_subcommand("run");
  program.add_subcommand("design");
  std::vector<const char*> argv{"hostswitch", "sweep"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  program.parse(static_cast<int>(argv.size()), argv.data());
  try {
    std::string words;
    for (const std::string& word : apply_config_text(*sweep, text, "c.toml")) {
      words += (words.empty() ? "" : " ") + word;
    }
    return words;
  } catch (const UsageError& error) {
    return error.what();
  }
}

TEST(ConfigFile, TomlTextsGiveTheirFlagsOrAreRefusedWithTheirLine) {
  struct Case {
    std::string text;
    std::vector<std::string> args;
    std::string expected;  // the words taken; a refusal starts "--config: c.toml:LINE: "
  };
  const Case cases[] = {
      // Values in the file's order, as the command line would spell them.
      {"sdr = 3\nemig_rate = [0.05, 0.2]\n", {}, "--sdr 3 --emig-rate 0.05,0.2"},
      {"n-gen = 1e3\nsdv = 2.5e-1\ncapacity = 1_000\nbirth-rate = 0.1\n",
       {},
       "--n-gen 1000 --sdv 0.25 --capacity 1000 --birth-rate 0.1"},
      {"summary = \"a#b.csv\" # where\n", {}, "--summary a#b.csv"},
      {"slurm-setup = \"\"\"module load a\nmodule load b\"\"\"\n",
       {},
       "--slurm-setup module load a\nmodule load b"},
      {"slurm_option = [\"--time=1:00:00\", \"--mem=1G\"]\n",
       {},
       "--slurm-option --time=1:00:00 --slurm-option --mem=1G"},
      {"stats = true\nresume = false\ntrajectories = true\n", {}, "--stats --trajectories"},
      {"trajectories = \"t.csv\"\n", {}, "--trajectories t.csv"},
      {"# \u00e9t\u00e9\nsummary = '\u00e9.csv'\nslurm-setup = \"\"\"a \\\n  b\"\"\"\n",
       {},
       "--summary \u00e9.csv --slurm-setup a b"},
      // Other commands' sections are passed over; the command line wins.
      {"[run]\nsdr = 7\n[design]\nkind = \"lhs\"\n[sweep]\nseed = 4\n", {}, "--seed 4"},
      {"sdr = 3\nseed = 4\n", {"--sdr", "5"}, "--seed 4"},
      // Refused: not TOML, a flag set twice, not a flag, not a value the flag takes.
      {"sdr = 3\nsdr = 4\n", {}, "--config: c.toml:2: "},
      {"sdr = 2 3\n", {}, "--config: c.toml:1: "},
      {"emig-rate = [0.05, 0.2\nsdr = 3\n", {}, "--config: c.toml:2: "},
      {"summary = \"\"\"a\nb\"\"\"\nsdr = \n", {}, "--config: c.toml:3: "},
      {"emig-rate = 0.1\nemig_rate = 0.2\n",
       {},
       "--config: c.toml:2: 'emig_rate' and 'emig-rate' on line 1 both set --emig-rate; keep one"},
      {"sdr = 3\n[sweep]\nsdr = 4\n",
       {"--sdr", "5"},
       "--config: c.toml:3: 'sdr' under [sweep] and 'sdr' on line 1 both set --sdr; keep one"},
      {"\ncolour = 3\n", {}, "--config: c.toml:2: 'colour' is not a flag of sweep"},
      {"[swep]\nsdr = 1\n", {}, "--config: c.toml:1: 'swep' is not a flag of sweep nor a command"},
      {"help = true\n", {}, "--config: c.toml:1: 'help' is not a flag of sweep"},
      {"stats = 1\n", {}, "--config: c.toml:1: 'stats' takes true or false, not an integer"},
      {"sdr = { x = 1 }\n",
       {},
       "--config: c.toml:1: 'sdr' takes a string, a number or an array of them, not a table"},
      {"seed = 2024-01-01\n",
       {},
       "--config: c.toml:1: 'seed' takes a string, a number or an array of them, not a date"},
      {"sdr = [1,\n[2]]\n",
       {},
       "--config: c.toml:2: 'sdr' takes strings and numbers in its array, not an array"},
      {"sdr = []\n", {}, "--config: c.toml:1: 'sdr' takes at least one value, not []"},
      {"\nsdr\u00a7 = 3\n",
       {},
       "--config: c.toml:2: a character that is not ASCII outside quotes and comments"},
      {"slurm-setup = \"\"\"a \\\n  \u00a7\"\"\"\n",
       {},
       "--config: c.toml:2: a character that is not ASCII after a backslash in a multi-line "
       "string (write it as \\uXXXX)"},
  };
  for (const Case& c : cases) {
    const std::string got = sweep_config(c.text, c.args);
    if (c.expected.ends_with(": ")) {
      EXPECT_EQ(got.rfind(c.expected, 0), 0u) << c.text << "\n" << got;
    } else {
      EXPECT_EQ(got, c.expected) << c.text;
    }
  }
}

}  // namespace
}  // namespace hostswitch
