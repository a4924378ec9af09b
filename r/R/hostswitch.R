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
    kind <- if (inherits(e, "hostswitch::UsageError"))
      "hostswitch_refusal"
    else if (inherits(e, c("hostswitch::IoFailure", "hostswitch::ResultsFileError",
                           "hostswitch::FileBusy")))
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

# Doubles in 17 digits, which read back as the same double; NA as an empty field.
.write_exact_csv <- function(frame, path) {
  columns <- lapply(frame, function(column) {
    if (is.double(column)) ifelse(is.na(column), "", sprintf("%.17g", column))
    else ifelse(is.na(column), "", as.character(column))
  })
  utils::write.csv(as.data.frame(columns, optional = TRUE), path, row.names = FALSE,
                   quote = FALSE)
}

#' Statistics of a sweep, and the files the command line writes
#'
#' \code{hs_stats} gives the statistics table \code{hostswitch report} writes as
#' \file{stats.csv}: one row per grid point with the share of extinct runs and of runs with a
#' host switch (Wilson intervals), the Kaplan-Meier median generation of extinction and the
#' mean final population and displacement. The readers give the frames \code{hs_run} and
#' \code{hs_sweep} give.
#'
#' @param summary A summary data.frame (from \code{hs_sweep} or \code{hs_read_summary}) or the
#'   path of a summary file.
#' @return A data.frame equal to \code{read.csv} (\code{read.table} for a results file) of the
#'   file.
#' @examples
#' runs <- hs_sweep(list(emig_rate = c(0.05, 0.2)), replicates = 10, seed = 3, jobs = 1)
#' hs_stats(runs)[, c("emig_rate", "p_extinct", "p_extinct_lo", "p_extinct_hi")]
hs_stats <- function(summary) {
  if (is.data.frame(summary)) {
    path <- tempfile("hostswitch-", fileext = ".csv")
    on.exit(unlink(path))
    .write_exact_csv(summary, path)
    summary <- path
  }
  read.csv(text = .library_call(library_stats_table(.path_argument(summary, "summary"))))
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
