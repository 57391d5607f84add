/* A stand-in for llvm-mca with a model of its own, found on the path as
 * llvm-mca-16: it checks the command line the fidelity tool gives it
 * (-mcpu=NAME -iterations=N -, the loop on standard input), and answers in
 * llvm-mca's layout with every instruction at a latency of 2 cycles and a
 * block throughput of 1.7. So a test sees the tool's whole way to a port
 * model (starting the program with arguments and input, reading its
 * output, Windows' line ends included) where no real llvm-mca runs, and a
 * latency bound that must follow the model's latencies. */
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv) {
    if (argc != 4 || strncmp(argv[1], "-mcpu=", 6) != 0 || strncmp(argv[2], "-iterations=", 12) != 0 ||
        strcmp(argv[3], "-") != 0) {
        fprintf(stderr, "fake llvm-mca: not the command line llvm-mca takes\n");
        return 1;
    }
    char rows[64][256], line[256];
    int count = 0;
    while (count < 64 && fgets(line, sizeof line, stdin))
        if (!strchr(line, ':'))  /* the loop's label */
            strcpy(rows[count++], line);
    printf("Iterations:        100\nInstructions:      %d\nTotal Cycles:      200\nTotal uOps:        %d\n\n"
           "Dispatch Width:    6\nuOps Per Cycle:    3.00\nIPC:               3.00\nBlock RThroughput: 1.7\n\n\n"
           "Instruction Info:\n[1]: #uOps\n[2]: Latency\n[3]: RThroughput\n\n"
           "[1]    [2]    [3]    [4]    [5]    [6]    Instructions:\n",
           count * 100, count * 100);
    for (int k = 0; k < count; ++k)
        printf(" 1      2     0.50                        %s", rows[k]);
    return 0;
}
