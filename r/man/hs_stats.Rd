\name{hs_stats}
\alias{hs_stats}
\alias{hs_read_results}
\alias{hs_read_summary}
\alias{hs_read_trajectories}
\title{Statistics of a sweep, and the files the command line writes}
\description{
\code{hs_stats} gives the statistics table \code{hostswitch report} writes as
\file{stats.csv}: one row per grid point with the share of extinct runs and of runs with a
host switch (Wilson intervals), the Kaplan-Meier median generation of extinction and the mean
final population and displacement. The readers give the frames \code{hs_run} and
\code{hs_sweep} give.
}
\usage{
hs_stats(summary)
hs_read_results(path)
hs_read_summary(path)
hs_read_trajectories(path)
}
\arguments{
  \item{summary}{A summary data.frame (from \code{hs_sweep} or \code{hs_read_summary}) or the
    path of a summary file.}
  \item{path}{A results file (\file{output.txt}), summary or trajectories file.}
}
\value{A data.frame equal to \code{read.csv} (\code{read.table} for a results file) of the file.}
\examples{
runs <- hs_sweep(list(emig_rate = c(0.05, 0.2)), replicates = 10, seed = 3, jobs = 1)
hs_stats(runs)[, c("emig_rate", "p_extinct", "p_extinct_lo", "p_extinct_hi")]
}
