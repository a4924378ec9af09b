library(testthat)
library(hostswitch)
test_check("hostswitch")
