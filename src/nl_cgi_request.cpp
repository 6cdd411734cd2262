/* nl_cgi_request.cpp: being written. */
