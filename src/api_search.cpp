/* api_search.cpp: being written. */
