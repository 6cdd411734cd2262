/* nl_cgi_body.cpp: being written. */
