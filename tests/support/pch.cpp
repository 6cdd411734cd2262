/*
 * pch.cpp: the program that owns the test programs' shared precompiled
 * header (tests/CMakeLists.txt). A program rather than a library so that its
 * code model matches theirs; it does nothing.
 */
int main() { return 0; }
