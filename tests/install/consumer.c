/* A C program outside the tree that uses the installed library: as consumer.cpp, in C. */
#include <tusave/LdTuSaveIds.h>
#include <tusave/libqveldtusave.h>

#include <stdio.h>
#include <string.h>

static unsigned int print_line(void* context, const char* line) {
    int* empty = (int*)context;
    if (strlen(line) <= 4) ++*empty; /* a prefix without a text */
    printf("%s\n", line);
    return 0;
}

int main(int argc, char** argv) {
    int empty = 0;
    unsigned int result;
    if (argc != 3) {
        fprintf(stderr, "usage: %s PROJECT STATION\n", argv[0]);
        return 2;
    }
    tusave_host_use_default_texts();
    if (tusave_host_default_text(IDS_TUSAVE_START) == NULL) return 1;
    tusave_host_set_message_sink(print_line, &empty);
    result = QVELdFcsTuningParmSave("", "", argv[1], argv[2], 2, 0, 0);
    tusave_host_set_message_sink(NULL, NULL);
    printf("RESULT 0x%08x %s\n", result, tusave_result_meaning(result));
    return result == TUSAVE_OK && empty == 0 ? 0 : 1;
}
