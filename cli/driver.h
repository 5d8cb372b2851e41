// The command-line driver: the command line, the recording list, the prompt
// loop and the progress display.
#pragma once

// The whole program: reads the options and the mode, opens the recorder's
// disk and runs the mode. Its result is the process exit status: 0 when every
// requested copy completed; 1 for a usage error, a disk that cannot be
// opened, a failed or incomplete copy or a number that names no recording;
// 130 after Ctrl-C.
int run_pvrcopy(int argc, char** argv);

// The progress callback: a percentage (0 or more) overwrites the percentage
// line; a negative value shows line behind "INFO: ".
void showpercent(int value, const char* line);

// Prints the numbered list of the first count recordings.
void pr_dir(int count);
