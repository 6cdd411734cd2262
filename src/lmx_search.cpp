/* lmx_search.cpp: being written. */
