#pragma once

// The program's main function; main() only calls it.
int qMain(int argc, char *argv[]);
