/*
 * kestrow_check --pictures: an output judged picture by picture against the
 * programme's and the fillers' own decodes (tools/kestrow_pictures.cpp has
 * the options and the JSON object it prints).
 */
#ifndef KESTROW_TOOLS_PICTURES_H
#define KESTROW_TOOLS_PICTURES_H

/* Runs the check on argv (argv[0] the program, "--pictures" among the options); the exit status. */
int pictures_main(int argc, char **argv);

#endif
