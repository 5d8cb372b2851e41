// The command-line driver: the command line, the recording list, the prompt
// loop and the progress display.
#pragma once

// The whole program: checks the arguments, opens the recorder's disk and runs
// the mode. Its result is the process exit status.
int run_pvrcopy(int argc, char** argv);

// The progress callback: a percentage (0 or more) overwrites the percentage
// line; a negative value shows qv_error behind "INFO: ".
void showpercent(int value);

// Prints the numbered list of the first count recordings.
void pr_dir(int count);
