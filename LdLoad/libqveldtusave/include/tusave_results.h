/* Result codes of the tuning-parameter save and of the workstation services it calls, with
 * their names, meanings and what a user can do about them: one table, which the library
 * exports. docs/result-codes.md is generated from it (tusave explain --markdown). */
#pragma once

/* Marks a result the caller must look at. */
#ifndef TUSAVE_NODISCARD
#if defined(__cplusplus) && __cplusplus >= 201703L
#define TUSAVE_NODISCARD [[nodiscard]]
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 202311L
#define TUSAVE_NODISCARD [[nodiscard]]
#else
#define TUSAVE_NODISCARD
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The save's own codes. */
#define TUSAVE_OK 0x00000000u
#define TUSAVE_E_ARGS 0x2000010au
#define TUSAVE_E_STNFILE 0x20234101u
#define TUSAVE_E_GENTIME 0x20234103u
#define TUSAVE_E_UPLOAD 0x20234104u
#define TUSAVE_E_TPFILE 0x20234105u
#define TUSAVE_E_INIT 0x20234106u
#define TUSAVE_E_BUS 0x20234107u
#define TUSAVE_E_DBREAD 0x20234108u
#define TUSAVE_E_DBWRITE 0x20234109u
#define TUSAVE_E_EDIT 0x2023410au
#define TUSAVE_E_TPARCHIVE 0x2023410bu
#define TUSAVE_E_NOBLOCK 0x2023410du
#define TUSAVE_E_NODEVICE 0x2023410eu
#define TUSAVE_E_SEEKREAD 0x20000108u
#define TUSAVE_E_WRITE 0x20000109u
#define TUSAVE_E_NOELEM 0x20000116u

/* Engineering-data services: paths, reference database, configuration, generation lock. A
 * refused generation lock leaves the save as one of these. */
#define TUSAVE_EDA_NOT_BOUND 0x2E000001u
#define TUSAVE_EDA_UNKNOWN_KEY 0x2E000002u
#define TUSAVE_EDA_BAD_NAME 0x2E000003u
#define TUSAVE_EDA_BAD_ARGUMENT 0x2E000004u
#define TUSAVE_EDA_CONFIG 0x2E000005u
#define TUSAVE_EDA_NO_STATION 0x2E000006u
#define TUSAVE_EDA_DATABASE 0x2E000007u
#define TUSAVE_EDA_NOT_OPEN 0x2E000008u
#define TUSAVE_EDA_ALREADY_OPEN 0x2E000009u
#define TUSAVE_EDA_NO_TABLE 0x2E00000Au
#define TUSAVE_EDA_LOCKED 0x2E00000Bu
#define TUSAVE_EDA_BAD_HANDLE 0x2E00000Cu
#define TUSAVE_EDA_IO 0x2E00000Du
#define TUSAVE_EDA_NOT_CONFIGURED 0x2E00000Eu
#define TUSAVE_EDA_NO_FILE 0x2E00000Fu
#define TUSAVE_EDA_TOO_MANY 0x2E000010u

/* Instance definition service. */
#define TUSAVE_INST_NOT_OPEN 0x2E000101u
#define TUSAVE_INST_ALREADY_OPEN 0x2E000102u
#define TUSAVE_INST_BAD_ARGUMENT 0x2E000103u
#define TUSAVE_INST_NO_FILE 0x2E000104u
#define TUSAVE_INST_MALFORMED 0x2E000105u
#define TUSAVE_INST_UNKNOWN 0x2E000106u
#define TUSAVE_INST_NO_MEMORY 0x2E000107u

typedef struct tusave_result_info {
    unsigned int code;
    const char* name;     /* e.g. "TUSAVE_E_UPLOAD" */
    const char* meaning;  /* what happened, one sentence */
    const char* remedy;   /* what to do, one or two sentences */
} tusave_result_info;

/* The whole table, in code order within each group; *count gets the number of rows. */
TUSAVE_NODISCARD const tusave_result_info* tusave_result_table(unsigned int* count);

/* The row of code, or NULL when code is not one of the table. */
TUSAVE_NODISCARD const tusave_result_info* tusave_result_find(unsigned int code);

/* The meaning of code; "not a result code of the save or its services" for any other. */
TUSAVE_NODISCARD const char* tusave_result_meaning(unsigned int code);

#ifdef __cplusplus
}
#endif
