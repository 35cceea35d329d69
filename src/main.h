// The program: command line, start-up, event loop and shutdown.
#ifndef KRIX_VXLAN_MAIN_H
#define KRIX_VXLAN_MAIN_H

// Writes the help text to standard output.
void show_help(void);
// Runs at exit: leaves the group, then closes the switch connection.
void cleanup_at_exit(void);
// The atoi of the command line, with defined results beyond the int range.
int main_atoi(const char *text);

#endif
