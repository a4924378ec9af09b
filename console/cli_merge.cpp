#include "console/cli_merge.hpp"

#include "batch/merge.hpp"
#include "console/cli_support.hpp"

namespace hostswitch {

CLI::App* setup_merge(CLI::App& app, MergeOptions& options) {
  CLI::App* merge = app.add_subcommand(
      "merge", "Join per-run summaries into one, ordered by grid point then replicate.");
  merge->add_option("files", options.files, "summary files, or directories of *.csv files")
      ->type_name("FILE")
      ->required();
  options.summary_option =
      merge->add_option("--summary", options.summary, "merged summary (default: standard output)")
          ->type_name("PATH");
  options.missing_option =
      merge
          ->add_option("--missing-commands", options.missing_commands,
                       "of a run directory: write the commands that make its missing rows here")
          ->type_name("FILE");
  options.trajectories_option =
      merge
          ->add_option("--trajectories", options.trajectories,
                       "of a run directory with trajectories: the joined trajectories (default "
                       "SUMMARY's stem + .trajectories.csv, or RUN_DIR/trajectories.csv without "
                       "--summary)")
          ->type_name("PATH");
  merge->add_flag("--allow-missing", options.allow_missing,
                  "of a run directory: write the rows there are, warn, and exit 0");
  merge->add_flag("--overwrite", options.overwrite,
                  "replace a --summary or --trajectories holding rows this merge does not "
                  "(another experiment's)");
  merge->footer(
      "A run directory with a manifest.json is checked against it: every row of the sweep must\n"
      "be there (else exit status 3 and \"K of M rows missing\"), rows of another experiment and\n"
      "rows found twice with different figures are refused; rows found twice alike count once.\n"
      "An existing --summary or --trajectories holding rows the merge does not is refused\n"
      "unless --overwrite; an output that is one of the files read (a summary, a part, its\n"
      "trajectories, the manifest) is refused always. The merge takes the lock a sweep holds on\n"
      "its summary.");
  return merge;
}

int run_merge(const MergeOptions& options, const CommandLineContext& context) {
  MergeRequest request;
  request.inputs.assign(options.files.begin(), options.files.end());
  if (options.summary_option->count() > 0) request.summary = options.summary;
  if (options.missing_option->count() > 0) request.missing_commands = options.missing_commands;
  if (options.trajectories_option->count() > 0) request.trajectories = options.trajectories;
  request.allow_missing = options.allow_missing;
  request.overwrite = options.overwrite;
  return tell(merge_command(request, context.out), "merge", context.out, context.err);
}

}  // namespace hostswitch
