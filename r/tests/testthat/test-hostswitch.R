# The package against the command line (HOSTSWITCH_EXECUTABLE): the same files, frames and
# messages. Without the program only the package's own checks run.
program <- Sys.getenv("HOSTSWITCH_EXECUTABLE")

cli <- function(..., dir) {
  out <- suppressWarnings(system2(program, c(...), stdout = TRUE, stderr = TRUE))
  attr(out, "status") <- if (is.null(attr(out, "status"))) 0L else attr(out, "status")
  out
}

in_scratch <- function() {
  dir <- tempfile("hs-test-")
  dir.create(dir)
  dir
}

test_that("runs give the command line's files", {
  skip_if(program == "")
  dir <- in_scratch()
  sets <- list(list(params = list(), seed = 2367781),
               list(params = list(n_pop = 50, birth_rate = 1.5, capacity = 400,
                                  emig_rate = 0.3, n_gen = 60), seed = 1))
  for (set in sets) {
    flags <- unlist(mapply(function(name, value) c(paste0("--", gsub("_", "-", name)), value),
                           names(set$params), set$params, SIMPLIFY = FALSE))
    files <- file.path(dir, c("cli.txt", "cli.csv", "row.csv", "r.txt"))
    unlink(files)  # a summary of another run is not replaced without --overwrite
    cli("run", flags, "--seed", set$seed, "--output", files[1], "--trajectory", files[2],
        "--summary", files[3], dir = dir)
    run <- do.call(hs_run, c(set$params, seed = set$seed))
    hs_write_results(run, files[4])
    expect_identical(readBin(files[4], "raw", 1e7), readBin(files[1], "raw", 1e7))
    expect_identical(run$records, hs_read_results(files[1]))
    expect_identical(run$trajectory, read.csv(files[2]))
    row <- read.csv(files[3])
    expect_identical(run$summary, row)
    expect_identical(c(run$outcome, run$switch_generations, run$seed),
                     c(row$outcome, row$switch_generations, row$seed))
    expect_identical(sum(run$records$n_p), sum(run$trajectory$n_pop))
  }
})

test_that("a sweep's frames equal the command line's summary and statistics", {
  skip_if(program == "")
  dir <- in_scratch()
  cli_summary <- file.path(dir, "cli.csv")
  cli("sweep", "--emig-rate", "0.05,0.1,0.3", "--max-dist", "1,2.5", "--n-gen", 80,
      "--replicates", 4, "--seed", 11, "--jobs", 2, "--summary", cli_summary,
      "--trajectories", file.path(dir, "cli.trajectories.csv"), dir = dir)
  cli("report", cli_summary, "--table", file.path(dir, "stats.csv"), "-o",
      file.path(dir, "report.html"), dir = dir)
  expected <- read.csv(cli_summary)
  grid <- list(emig_rate = c(0.05, 0.1, 0.3), max_dist = c(1, 2.5), n_gen = 80L)
  got <- hs_sweep(grid, replicates = 4, seed = 11, jobs = 2, trajectories = TRUE,
                  summary = file.path(dir, "r.csv"), progress = FALSE)
  expect_identical(got$summary, expected)
  expect_identical(readLines(file.path(dir, "r.csv")), readLines(cli_summary))
  expect_identical(got$trajectories, read.csv(file.path(dir, "cli.trajectories.csv")))
  expect_true(file.exists(file.path(dir, "r.csv.json")))
  expect_identical(hs_sweep(grid, replicates = 4, seed = 11, jobs = 1, progress = FALSE),
                   expected)
  expect_identical(hs_read_summary(cli_summary), expected)
  expect_identical(hs_stats(expected), read.csv(file.path(dir, "stats.csv")))
})

test_that("a design frame sweeps as sweep --design", {
  skip_if(program == "")
  dir <- in_scratch()
  design <- data.frame(emig_rate = c(0.05, 0.3, 0.1), max_dist = c(2.5, 1, 0.5),
                       n_gen = c(40L, 80L, 60L))
  write.csv(design, file.path(dir, "design.csv"), row.names = FALSE)
  cli("sweep", "--design", file.path(dir, "design.csv"), "--replicates", 3, "--seed", 5,
      "--summary", file.path(dir, "cli.csv"), dir = dir)
  expect_identical(hs_sweep(design, replicates = 3, seed = 5, jobs = 2, progress = FALSE),
                   read.csv(file.path(dir, "cli.csv")))
})

bytes <- function(path) readBin(path, "raw", file.size(path))
exact <- function(path) .exact_table(rawToChar(bytes(path)), path)

test_that("a design from hs_design sweeps to the command line's summary", {
  skip_if(program == "")
  dir <- in_scratch()
  files <- file.path(dir, c("cli_design.csv", "r_design.csv", "cli.csv", "r.csv"))
  cli("design", "lhs", "--range", "emig_rate=0.01:0.4", "--range", "sdr=0.3:3:log",
      "--samples", 6, "--seed", 9, "--n-gen", 30, "-o", files[1], dir = dir)
  design <- hs_design("lhs", list(n_gen = 30), samples = 6, seed = 9, output = files[2],
                      ranges = list(emig_rate = c(0.01, 0.4), sdr = list(0.3, 3, "log")))
  expect_identical(bytes(files[2]), bytes(files[1]))
  expect_identical(design, hs_read_design(files[1]))
  expect_equal(design, read.csv(files[1]))
  hs_write_design(design, file.path(dir, "again.csv"))
  expect_identical(bytes(file.path(dir, "again.csv")), bytes(files[1]))
  cli("sweep", "--design", files[1], "--replicates", 2, "--seed", 3, "--summary", files[3],
      dir = dir)
  hs_sweep(design, replicates = 2, seed = 3, jobs = 2, summary = files[4], progress = FALSE)
  expect_identical(bytes(files[4]), bytes(files[3]))
})

test_that("discover, sensitivity and stats equal the command line's tables", {
  skip_if(program == "")
  dir <- in_scratch()
  path <- function(name) file.path(dir, name)
  cli("design", "sobol", "--range", "emig_rate=0:0.6", "--range", "sdr=0.3:2", "--samples", 8,
      "--n-gen", 40, "-o", path("design.csv"), dir = dir)
  cli("sweep", "--design", path("design.csv"), "--replicates", 3, "--seed", 21, "--summary",
      path("cli.csv"), dir = dir)
  where <- "p_extinct <= 0.5"
  cli("report", path("cli.csv"), "--table", path("stats.csv"), "--sensitivity",
      path("sensitivity.csv"), "--discover", shQuote(where), "--boxes", path("boxes.csv"), "--at",
      "30,5,10", "-o", path("report.html"), dir = dir)
  cli("discover", path("cli.csv"), "--where", shQuote(where), "--min-density", "0.6", "-o",
      path("boxes06.csv"), dir = dir)
  for (summary in list(path("cli.csv"), hs_read_summary(path("cli.csv")))) {
    expect_identical(hs_discover(summary, where), exact(path("boxes.csv")))
    expect_identical(hs_sensitivity(summary, at = c(5, 10, 30)), exact(path("sensitivity.csv")))
    expect_identical(hs_stats(summary, at = c(30, 5, 10)), exact(path("stats.csv")))
  }
  expect_equal(hs_discover(path("cli.csv"), where), read.csv(path("boxes.csv")))
  hs_discover(path("cli.csv"), where, min_density = 0.6, output = path("r06.csv"))
  expect_identical(bytes(path("r06.csv")), bytes(path("boxes06.csv")))
  expect_error(hs_stats(path("cli.csv"), at = 0), "--at: 0 is not a generation",
               class = "hostswitch_refusal")
})

test_that("hs_plot draws what the command line draws", {
  skip_if(program == "")
  dir <- in_scratch()
  old <- setwd(dir)
  on.exit(setwd(old))
  cli("run", "--n-gen", 30, "--seed", 8, "--output", "output.txt", dir = dir)
  cli("plot", "output.txt", "-o", "cli.svg", "--log-population", dir = dir)
  expect_identical(hs_plot("output.txt", log_population = TRUE),
                   rawToChar(bytes("cli.svg")))
})

test_that("refusals stop with the command line's message", {
  calls <- list(list(quote(hs_run(sdr = 0)), c("run", "--sdr", "0")),
                list(quote(hs_run(emig_rate = 2)), c("run", "--emig-rate", "2")),
                list(quote(hs_run(n_pop = "ten")), c("run", "--n-pop", "ten")),
                list(quote(hs_sweep(list(sdr = c(1, 0)))), c("sweep", "--sdr", "1,0")))
  for (call in calls) {
    condition <- tryCatch(eval(call[[1]]), error = function(e) e)
    expect_s3_class(condition, "hostswitch_refusal")
    if (program != "") {
      refused <- cli(call[[2]], "--no-output", dir = tempdir())
      if (call[[2]][1] == "sweep") refused <- cli(call[[2]], "--summary", tempfile(), dir = tempdir())
      expect_identical(attr(refused, "status"), 2L)
      expect_true(paste0("hostswitch ", call[[2]][1], ": ", conditionMessage(condition)) %in%
                  refused)
    }
  }
  expect_error(hs_write_results(hs_run(n_gen = 3, seed = 1), file.path(tempdir(), "no", "x")),
               "No such file or directory", class = "hostswitch_io_error")
})

test_that("a path argument that is not one path stops naming the argument, writing nothing", {
  dir <- tempfile("hostswitch-paths-")
  dir.create(dir)
  old <- setwd(dir)
  on.exit(setwd(old))
  run <- hs_run(n_gen = 3, seed = 1)
  expect_error(hs_write_results(run, NA_character_), "^path: expected one file path")
  expect_error(hs_write_results(run, c("a.txt", "b.txt")), "^path: expected one file path")
  expect_error(hs_sweep(list(n_gen = 5), seed = 1, summary = NA), "^summary: expected one")
  expect_error(hs_stats(NA_character_), "^summary: expected one file path")
  expect_identical(list.files(dir, all.files = TRUE, no.. = TRUE), character(0))
})

test_that("an interrupt keeps the complete rows", {
  skip_on_os("windows")
  dir <- in_scratch()
  summary <- file.path(dir, "s.csv")
  script <- file.path(dir, "sweep.R")
  writeLines(c("library(hostswitch)",
               "got <- tryCatch(hs_sweep(list(emig_rate = 0), replicates = 5000, seed = 3,",
               sprintf("    jobs = 2, summary = '%s', progress = FALSE),", summary),
               "  interrupt = function(stopped) stopped)",
               "cat(inherits(got, 'hostswitch_interrupt'), nrow(got$summary), '\\n')"), script)
  rscript <- file.path(R.home("bin"), "Rscript")
  pid_file <- file.path(dir, "pid")
  system2("sh", c("-c", shQuote(sprintf("%s %s > %s/out 2>&1 & echo $! > %s", rscript, script,
                                        dir, pid_file))), wait = TRUE)
  pid <- as.integer(readLines(pid_file))
  deadline <- Sys.time() + 120
  while ((!file.exists(summary) || length(readLines(summary)) < 3) && Sys.time() < deadline)
    Sys.sleep(0.05)
  tools::pskill(pid, tools::SIGINT)
  while (tools::pskill(pid, 0) && Sys.time() < deadline) Sys.sleep(0.05)
  rows <- read.csv(summary)
  expect_identical(tail(readLines(file.path(dir, "out")), 1), paste("TRUE", nrow(rows), ""))
  expect_true(nrow(rows) >= 2 && nrow(rows) < 5000)
  expect_identical(rows$replicate, seq_len(nrow(rows)))
  expect_identical(hs_sweep(list(emig_rate = 0), replicates = nrow(rows), seed = 3, jobs = 1,
                            progress = FALSE)$final_r_phe, rows$final_r_phe)
})
