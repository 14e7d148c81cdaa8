// Instance definitions of a station's block models.
#pragma once

#include <cstdint>

// Where a data item lies: 8 bytes.
struct IEdalItemCnctS {
    std::uint8_t recNo;      // record holding the item
    std::uint8_t reserved1;
    std::uint16_t offset;    // byte offset of the first element in that record
    std::uint8_t dataType;   // data type code
    std::uint8_t elemSize;   // size of one element in bytes
    std::uint16_t reserved2;
};
static_assert(sizeof(IEdalItemCnctS) == 8);

constexpr int IEDAL_INSTNAME_SIZE = 33;   // room the callers give for an instance name
constexpr int IEDAL_MAX_SAVE_REC = 8;     // room the callers give for saved record numbers

int IEdalInstOpenForTP(const char* project, const char* station, unsigned projectKind);
int IEdalInstClose();
int IEdalInstGetInstName(unsigned short blockCode, char* name);
// *list: the item names separated by ':', released by the caller with free().
int IEdalInstGetDItemList2(const char* instName, int* count, char** list);
int IEdalInstGetDItemCnctInf(const char* instName, const char* itemName, IEdalItemCnctS* cnct);
int IEdalInstGetDItemArrayInf(const char* instName, const char* itemName, int* dim1, int* dim2);
// At most IEDAL_MAX_SAVE_REC record numbers into recNos.
int IEdalInstGetSaveRecNo(unsigned short blockCode, int* count, int* recNos);
