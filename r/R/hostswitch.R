# Runs and sweeps of the C++ library as data frames equal to read.csv of the command line's
# files. Values reach the command line's own parser as its flags would take them.

.parameter_names <- c("n_pop", "birth_rate", "capacity", "emig_rate", "sdr", "sdv",
                      "max_dist", "n_gen")

.value_texts <- function(values, name) {
  if (is.character(values)) return(values)
  if (is.numeric(values)) return(sprintf("%.17g", as.double(values)))  # reads back exactly
  stop(sprintf("%s: expected numbers, got %s", name, class(values)[1]), call. = FALSE)
}

.named_texts <- function(params) {
  if (length(params) == 0) return(list())
  if (is.null(names(params)) || any(names(params) == ""))
    stop("every parameter needs a name (n_pop, birth_rate, ...)", call. = FALSE)
  mapply(.value_texts, params, names(params), SIMPLIFY = FALSE)
}

# One path, as the library takes it: NA would name a file "NA", and only a first of several
# would be used.
.path_argument <- function(path, name) {
  if (!is.character(path) || length(path) != 1L || is.na(path) || !nzchar(path))
    stop(sprintf("%s: expected one file path, got %s", name, deparse(path)), call. = FALSE)
  path.expand(path)
}

.optional_text <- function(value, name) {
  if (is.null(value)) NULL else .value_texts(value, name)
}

# The library's failures as R conditions: its message, and a class saying what failed.
.library_call <- function(expr, call = sys.call(-1)) {
  tryCatch(expr, error = function(e) {
    kind <- if (inherits(e, c("hostswitch::UsageError", "hostswitch::DesignFileError",
                              "hostswitch::ReportInputError")))
      "hostswitch_refusal"
    else if (inherits(e, c("hostswitch::IoFailure", "hostswitch::ResultsFileError",
                           "hostswitch::FileBusy", "hostswitch::PlotError")))
      "hostswitch_io_error"
    else
      "hostswitch_failure"
    stop(structure(class = c(kind, "hostswitch_error", "error", "condition"),
                   list(message = conditionMessage(e), call = call)))
  })
}

.read_summary_text <- function(text) read.csv(text = text)

.read_records <- function(path) {
  read.table(path, skip = 10,
             col.names = c("n_g", "p_phe", "n_p", "r_phe", "rl_phe", "n_HS"),
             na.strings = c("NA", strrep("*", c(8, 10, 15))))
}

# scan() takes LF, CR LF and CR line ends from any connection, as from the file itself.
.with_bytes <- function(bytes, read) {
  connection <- textConnection(rawToChar(bytes))
  on.exit(close(connection))
  read(connection)
}

#' One run of the simulation
#'
#' One run, as \code{hostswitch run} makes it: the results file's records, the trajectory and
#' the summary row, from the same C++ library as the command line.
#'
#' @param n_pop,birth_rate,capacity,emig_rate,sdr,sdv,max_dist,n_gen The parameters; one left
#'   out (\code{NULL}) is the typical run's (100, 0.5, 1000, 0.1, 1, 0.5, 2, 500). Numbers or
#'   texts, read as the command line's flags read them.
#' @param seed The clock count that seeds the random stream; \code{NULL} takes the clock's.
#' @return A list of class \code{hs_run}: \code{outcome} ("extinct" or "completed"),
#'   \code{extinction_generation} (\code{NA} for a completed run), \code{generations_run},
#'   \code{switch_generations}, \code{seed}, \code{records} (the results file's records
#'   \code{n_g}, \code{p_phe}, \code{n_p}, \code{r_phe}, \code{rl_phe}, \code{n_HS}),
#'   \code{trajectory} (one row a generation) and \code{summary} (the run's summary row), each
#'   equal to \code{read.csv} (or \code{read.table}) of the file the command line writes.
#'   \code{hs_write_results} writes the bytes \code{hostswitch run --seed SEED --output PATH}
#'   writes, and returns \code{path} invisibly.
#' @section Errors:
#' A value the command line refuses stops with its message and the class
#' \code{hostswitch_refusal}; a file that cannot be written with the path and the cause and the
#' class \code{hostswitch_io_error}. A path that is not one string (\code{NA}, several, empty)
#' stops naming the argument before anything is written.
#' @seealso \code{\link{hs_sweep}} for many runs, \code{\link{hs_read_results}} for the files.
#' @examples
#' run <- hs_run(seed = 2367781)
#' run
#' head(run$records)
#' plot(run$trajectory$n_g, run$trajectory$n_pop, type = "s",
#'      xlab = "generation", ylab = "population")
hs_run <- function(n_pop = NULL, birth_rate = NULL, capacity = NULL, emig_rate = NULL,
                   sdr = NULL, sdv = NULL, max_dist = NULL, n_gen = NULL, seed = NULL) {
  params <- list(n_pop = n_pop, birth_rate = birth_rate, capacity = capacity,
                 emig_rate = emig_rate, sdr = sdr, sdv = sdv, max_dist = max_dist,
                 n_gen = n_gen)
  params <- params[!vapply(params, is.null, logical(1))]
  facts <- .library_call(library_run(.named_texts(params), .optional_text(seed, "seed")))
  structure(list(
    outcome = if (facts$extinct) "extinct" else "completed",
    extinction_generation = if (facts$extinct) facts$generations_run else NA_integer_,
    generations_run = facts$generations_run,
    switch_generations = facts$switch_generations,
    seed = facts$seed,
    records = .with_bytes(facts$results, .read_records),
    trajectory = read.csv(text = facts$trajectory),
    summary = .read_summary_text(facts$summary),
    results = facts$results), class = "hs_run")
}

#' @rdname hs_run
#' @param run A run from \code{hs_run}.
#' @param path Where to write the results file.
hs_write_results <- function(run, path) {
  stopifnot(inherits(run, "hs_run"))
  .library_call(library_write_file(.path_argument(path, "path"), run$results))
  invisible(path)
}

#' @rdname hs_run
#' @method print hs_run
#' @param x A run.
#' @param ... Ignored.
print.hs_run <- function(x, ...) {
  cat(sprintf("hostswitch run: %s after %d generations, %d with a host switch, seed %d\n",
              x$outcome, x$generations_run, x$switch_generations, x$seed))
  invisible(x)
}

#' A sweep over a grid of parameter values
#'
#' Every replicate of every grid point, as \code{hostswitch sweep} makes them, on several
#' threads.
#'
#' @param params A named list of value vectors; the grid is their cross product in the command
#'   line's order (\code{n_pop} slowest, \code{n_gen} fastest). Parameters left out keep the
#'   typical run's value. Or a data.frame of design points (one parameter set a row, as
#'   \code{sweep --design} reads a file), swept in row order.
#' @param replicates Replicates of each grid point.
#' @param seed The base seed; \code{NULL} takes the clock's. Replicate r of grid point g is
#'   seeded as the command line seeds it.
#' @param jobs Threads; \code{NULL} is one per processor.
#' @param trajectories Also return one row per replicate per generation.
#' @param summary A path: also write the summary there as \code{sweep --summary} does, with
#'   its manifest and lock (and the trajectories beside it, as \file{STEM.trajectories.csv}).
#' @param resume Continue the sweep in \code{summary}, as \code{sweep --resume}.
#' @param progress Show the runs done on the console.
#' @return The summary, a data.frame equal to \code{read.csv} of the command line's
#'   \file{summary.csv}; with \code{trajectories = TRUE} a list of \code{summary} and
#'   \code{trajectories}.
#' @section Interrupts:
#' R's interrupt stops the sweep: the runs in flight are abandoned, and the condition signalled
#' (class \code{hostswitch_interrupt}, also \code{interrupt} and \code{error}) carries the
#' complete rows as \code{summary}; a \code{summary} file holds only complete rows too, and
#' \code{resume = TRUE} finishes it.
#' @seealso \code{\link{hs_stats}} for the statistics of each grid point.
#' @examples
#' runs <- hs_sweep(list(emig_rate = c(0.05, 0.2), max_dist = c(1, 2)), replicates = 5,
#'                  seed = 7, jobs = 1)
#' table(runs$emig_rate, runs$outcome)
hs_sweep <- function(params, replicates = 1, seed = NULL, jobs = NULL, trajectories = FALSE,
                     summary = NULL, resume = FALSE, progress = interactive()) {
  design <- NULL
  if (is.data.frame(params)) {
    # Design points are read as `sweep --design` reads its file.
    design <- tempfile("hostswitch-design-", fileext = ".csv")
    on.exit(unlink(design))
    .write_exact_csv(params, design)
    params <- list()
  }
  texts <- .library_call(library_sweep(
    .named_texts(params), .value_texts(replicates, "replicates"),
    .optional_text(seed, "seed"), .optional_text(jobs, "jobs"), isTRUE(trajectories),
    if (is.null(summary)) NULL else .path_argument(summary, "summary"), isTRUE(resume), isTRUE(progress),
    design))
  frame <- .read_summary_text(texts$summary)
  paths <- if (isTRUE(trajectories)) read.csv(text = texts$trajectories) else NULL
  if (texts$interrupted) {
    # The complete rows go with the interrupt, for a handler to keep.
    stop(structure(class = c("hostswitch_interrupt", "interrupt", "error", "condition"),
                   list(message = texts$message, call = sys.call(), summary = frame,
                        trajectories = paths)))
  }
  if (isTRUE(trajectories)) list(summary = frame, trajectories = paths) else frame
}

# Doubles as the library writes numbers, the shortest text giving the same double; NA as an
# empty field.
.write_exact_csv <- function(frame, path) {
  columns <- lapply(frame, function(column) {
    if (is.double(column)) ifelse(is.na(column), "", library_number_texts(column))
    else ifelse(is.na(column), "", as.character(column))
  })
  utils::write.csv(as.data.frame(columns, optional = TRUE), path, row.names = FALSE,
                   quote = FALSE)
}

# A data.frame of a CSV text as read.csv types its columns, every number parsed exactly in
# C++ (read.csv may read a 17-digit number one unit in the last place off).
.exact_table <- function(text, name) {
  force(text)  # the library's failure making the text is its own, not the table's
  .library_call(library_table(text, name))
}

.generations <- function(at) if (is.null(at)) character() else .value_texts(at, "at")

# A summary path as it is, a frame written to a scratch file in its exact form.
.with_summary <- function(summary, use) {
  if (is.data.frame(summary)) {
    path <- tempfile("hostswitch-", fileext = ".csv")
    on.exit(unlink(path))
    .write_exact_csv(summary, path)
    summary <- path
  }
  use(.path_argument(summary, "summary"))
}

#' Statistics per grid point of a sweep
#'
#' The statistics table \code{hostswitch report} writes as \file{stats.csv}: one row per grid
#' point with the shares of extinct and switched runs (Wilson intervals), the Kaplan-Meier
#' median generation of extinction, the means, and the shares switched and extinct by each
#' generation G of \code{at} (\code{p_switched_by_G}, \code{p_extinct_by_G}).
#'
#' @param summary A summary data.frame (from \code{hs_sweep} or \code{hs_read_summary}) or the
#'   path of a summary file.
#' @param at Generations G of \code{p_switched_by_G} and \code{p_extinct_by_G}, as
#'   \code{report --at} takes them; \code{NULL}: n_gen/10, n_gen/4, n_gen/2, 3 n_gen/4 and n_gen
#'   of the largest n_gen.
#' @return A data.frame equal to \file{stats.csv}, every number the exact double of its text.
#' @examples
#' runs <- hs_sweep(list(emig_rate = c(0.05, 0.2)), replicates = 10, seed = 3, jobs = 1)
#' hs_stats(runs, at = c(10, 100))[, c("emig_rate", "p_extinct", "p_extinct_by_100")]
#' @export
hs_stats <- function(summary, at = NULL) {
  .exact_table(.with_summary(summary, function(path)
    .library_call(library_stats_table(path, .generations(at)))), "stats")
}

#' Sensitivity of a design's outputs to its parameters
#'
#' The table \code{hostswitch report} writes as \file{sensitivity.csv} of a sobol design's
#' summary (first-order and total indices with bootstrap intervals) or a morris design's
#' (the elementary effects' mu, mu* and sigma), per varied parameter and output.
#'
#' @param summary A summary data.frame or the path of a summary file, of a sweep of a sobol or
#'   morris design.
#' @param at Generations G of the outputs \code{p_switched_by_G} and \code{p_extinct_by_G}, as
#'   in \code{hs_stats}.
#' @return A data.frame equal to \file{sensitivity.csv}, every number exact. Stops with a
#'   \code{hostswitch_refusal} for the summary of a grid or another design.
#' @examples
#' d <- hs_design("morris", ranges = list(emig_rate = c(0, 0.5), sdr = c(0.5, 3)),
#'                trajectories = 4, seed = 1, params = list(n_gen = 40))
#' hs_sensitivity(hs_sweep(d, replicates = 2, seed = 7, jobs = 1))
#' @export
hs_sensitivity <- function(summary, at = NULL) {
  .exact_table(.with_summary(summary, function(path)
    .library_call(library_sensitivity_table(path, .generations(at)))), "sensitivity")
}

#' Where in parameter space an output meets a condition
#'
#' The boxes of peeling and pasting \code{hostswitch discover SUMMARY --where EXPR} finds.
#'
#' @param summary A summary data.frame or the path of a summary file, of a grid or design.
#' @param where \code{"OUTPUT OP NUMBER"}: OUTPUT a column of the statistics table
#'   (\code{p_extinct}, \code{p_switched}, \code{p_switched_by_G}, ...), OP one of
#'   \code{< <= > >= == !=}.
#' @param min_density The box chosen is the one of most coverage (then density) of those with
#'   at least this density, else the densest.
#' @param output A path to write the table to as well, as \code{discover -o PATH} does.
#' @return A data.frame of the boxes (step, coverage, density, mass, restricted, NAME_lo and
#'   NAME_hi of each varied parameter, chosen, pasted), equal to the command line's table.
#' @examples
#' runs <- hs_sweep(list(emig_rate = c(0.05, 0.1, 0.2, 0.4)), replicates = 5, seed = 3,
#'                  jobs = 1)
#' hs_discover(runs, "p_extinct >= 0.5")
#' @export
hs_discover <- function(summary, where, min_density = 0.8, output = NULL) {
  stopifnot(is.character(where), length(where) == 1L)
  text <- .with_summary(summary, function(path)
    .library_call(library_boxes_table(path, where, as.double(min_density))))
  if (!is.null(output))
    .library_call(library_write_file(.path_argument(output, "output"), charToRaw(text)))
  .exact_table(text, "boxes")
}

#' The points of a sampling design
#'
#' The design \code{hostswitch design KIND} writes: a grid of value lists, a Latin hypercube
#' (lhs), the Saltelli scheme of a Sobol' sequence (sobol) or Morris trajectories (morris).
#' \code{hs_sweep} of the frame gives the command line's summary of \code{sweep --design}.
#'
#' @param kind \code{"grid"}, \code{"lhs"}, \code{"sobol"} or \code{"morris"}.
#' @param params Parameter values by name: a grid's value lists; for the other kinds the fixed
#'   value of each parameter without a range.
#' @param ranges The varied parameters: a named list such as
#'   \code{list(emig_rate = c(0, 0.5), sdr = list(0.5, 3, "log"))}, or texts
#'   \code{"NAME=LO:HI"} and \code{"NAME=LO:HI:log"}.
#' @param samples lhs: the points; sobol: the base rows N.
#' @param seed lhs (required) and morris: the draws; sobol: a random shift.
#' @param maximin lhs: the best of this many by smallest distance between two points.
#' @param trajectories morris: the trajectories R.
#' @param levels morris: the levels P, even (default 4).
#' @param output A path to write the design file to as well, byte for byte as the command line.
#' @return A data.frame of the design (point, the eight parameters, label columns), every
#'   number the exact double of the file's text.
#' @examples
#' hs_design("lhs", ranges = list(emig_rate = c(0, 0.5)), samples = 5, seed = 1)
#' @export
hs_design <- function(kind, params = list(), ranges = NULL, samples = NULL, seed = NULL,
                      maximin = NULL, trajectories = NULL, levels = NULL, output = NULL) {
  range_texts <- if (is.null(ranges)) character() else if (is.character(ranges)) ranges else
    vapply(names(ranges), function(name) {
      limits <- unlist(ranges[[name]])
      log <- length(limits) == 3L && limits[3] == "log"
      if (length(limits) != if (log) 3L else 2L)
        stop(sprintf("ranges: %s: expected c(LO, HI) or list(LO, HI, \"log\")", name),
             call. = FALSE)
      texts <- .value_texts(if (log) limits[1:2] else limits, name)
      paste0(name, "=", texts[1], ":", texts[2], if (log) ":log" else "")
    }, character(1), USE.NAMES = FALSE)
  flag <- function(value, name) if (is.null(value)) "" else .value_texts(value, name)
  text <- .library_call(library_design(
    kind, .named_texts(params), range_texts, flag(samples, "samples"), flag(seed, "seed"),
    flag(maximin, "maximin"), flag(trajectories, "trajectories"), flag(levels, "levels")))
  if (!is.null(output))
    .library_call(library_write_file(.path_argument(output, "output"), charToRaw(text)))
  .exact_table(text, "design")
}

#' Read a design file exactly
#'
#' @param path A design file, as \code{hs_design} or \code{hostswitch design} writes it.
#' @return The data.frame \code{hs_design} gives, every number the exact double of its text
#'   (\code{read.csv} may read one a unit in the last place off).
#' @export
hs_read_design <- function(path) {
  .exact_table(rawToChar(.library_call(library_read_file(.path_argument(path, "path")))), path)
}

#' Write a design file exactly
#'
#' @param design A design data.frame, as \code{hs_design} or \code{hs_read_design} gives it.
#' @param path The file to write, one \code{sweep --design} reads; every number is written as
#'   the shortest text giving the same double, as the command line writes it.
#' @return \code{path}, invisibly.
#' @export
hs_write_design <- function(design, path) {
  stopifnot(is.data.frame(design))
  path <- .path_argument(path, "path")
  scratch <- tempfile("hostswitch-design-", fileext = ".csv")
  on.exit(unlink(scratch))
  .write_exact_csv(design, scratch)
  .library_call(library_write_file(path, readBin(scratch, "raw", file.size(scratch))))
  invisible(path)
}

#' Draw a results file
#'
#' The picture \code{hostswitch plot} draws of a results file: generations on x, phenotype on
#' y, each cell coloured by its parasite count, and the population under it.
#'
#' @param results A results file (\file{output.txt}), as \code{hs_write_results} writes it.
#' @param output The picture to write, its format from its name (.svg, .pdf or .png);
#'   \code{NULL} returns the SVG text instead.
#' @param title The title (default: the results file's name).
#' @param summary,row The summary or manifest of the sweep the run belongs to, and the run's
#'   grid point and replicate in it (\code{"3-7"}); the title then gives its parameters and
#'   seed.
#' @param log_population The population panel on a logarithmic scale.
#' @return The SVG text without \code{output}, else \code{output}, invisibly.
#' @export
hs_plot <- function(results, output = NULL, title = NULL, summary = NULL, row = NULL,
                    log_population = FALSE) {
  svg <- .library_call(library_plot(
    .path_argument(results, "results"),
    if (is.null(output)) NULL else .path_argument(output, "output"), title,
    if (is.null(summary)) NULL else .path_argument(summary, "summary"), row,
    isTRUE(log_population)))
  if (is.null(output)) svg else invisible(output)
}

#' @rdname hs_stats
#' @param path A results file (\file{output.txt}), summary or trajectories file.
hs_read_results <- function(path) {
  path <- .path_argument(path, "path")
  .library_call(library_read_file(path))  # a missing file fails as the library says
  .read_records(path)
}

#' @rdname hs_stats
hs_read_summary <- function(path) .read_summary_text(rawToChar(.library_call(library_read_file(.path_argument(path, "path")))))

#' @rdname hs_stats
hs_read_trajectories <- function(path) read.csv(text = rawToChar(.library_call(library_read_file(.path_argument(path, "path")))))
