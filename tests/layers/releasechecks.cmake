# The checks of a release build, run as its configure step runs them; the test passes on the
# refusal that its regular expression names.
#   cmake -DSOURCE_DIR=<source> -DSONAVELLE_RELEASE=ON -D... -P releasechecks.cmake
cmake_minimum_required(VERSION 3.25)
set(CMAKE_SOURCE_DIR "${SOURCE_DIR}")
include("${SOURCE_DIR}/cmake/ReleaseChecks.cmake")
message(STATUS "the release checks passed")
