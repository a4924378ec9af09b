\name{hs_sweep}
\alias{hs_sweep}
\title{A sweep over a grid of parameter values}
\description{
Every replicate of every grid point, as \code{hostswitch sweep} makes them, on several threads.
}
\usage{
hs_sweep(params, replicates = 1, seed = NULL, jobs = NULL, trajectories = FALSE,
         summary = NULL, resume = FALSE, progress = interactive())
}
\arguments{
  \item{params}{A named list of value vectors; the grid is their cross product in the command
    line's order (\code{n_pop} slowest, \code{n_gen} fastest). Parameters left out keep the
    typical run's value. Or a data.frame of design points (one parameter set a row, as
    \code{sweep --design} reads a file), swept in row order.}
  \item{replicates}{Replicates of each grid point.}
  \item{seed}{The base seed; \code{NULL} takes the clock's. Replicate r of grid point g is
    seeded as the command line seeds it.}
  \item{jobs}{Threads; \code{NULL} is one per processor.}
  \item{trajectories}{Also return one row per replicate per generation.}
  \item{summary}{A path: also write the summary there as \code{sweep --summary} does, with its
    manifest and lock (and the trajectories beside it, as \file{STEM.trajectories.csv}).}
  \item{resume}{Continue the sweep in \code{summary}, as \code{sweep --resume}.}
  \item{progress}{Show the runs done on the console.}
}
\value{
The summary, a data.frame equal to \code{read.csv} of the command line's \file{summary.csv};
with \code{trajectories = TRUE} a list of \code{summary} and \code{trajectories}.
}
\section{Interrupts}{
R's interrupt stops the sweep: the runs in flight are abandoned, and the condition signalled
(class \code{hostswitch_interrupt}, also \code{interrupt} and \code{error}) carries the
complete rows as \code{summary}; a \code{summary} file holds only complete rows too, and
\code{resume = TRUE} finishes it.
}
\examples{
runs <- hs_sweep(list(emig_rate = c(0.05, 0.2), max_dist = c(1, 2)), replicates = 5,
                 seed = 7, jobs = 1)
table(runs$emig_rate, runs$outcome)
}
