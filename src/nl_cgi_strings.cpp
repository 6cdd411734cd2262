/* nl_cgi_strings.cpp: being written. */
