/* lmx_route.cpp: being written. */
