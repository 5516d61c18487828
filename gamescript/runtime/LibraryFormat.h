#pragma once
// The ".gsl" library format, shared by everything that writes or reads it: the
// compiler's image writer, the reader, the verifier, the disassembler and
// gsrun. All words are little-endian.
//
// Header: u32 total size, u32 magic, f32 version, u32 id word 1 (CRC-32 of the
// main source's text), u32 id word 2 (CRC-32 of its lower-cased file name),
// u32 name length (its NUL included), the lower-cased name. Then the chunks,
// each u32 size (the whole chunk, nested chunks included) and u32 id:
//   dependencies, strings, class imports, function imports, classes, in that
//   order at the top level (chunks from class imports on are aligned counted
//   from the start of the class import chunk); inside classes, one class
//   chunk per defined class, holding its function list (one function chunk
//   per function, the initialiser last), its member variables, its function
//   table and its instance layout.
// A function chunk's code is padded with kCodePadding to a multiple of 4 and
// may be followed by a line table that starts with kLineTableMarker.

#include <cstddef>
#include <cstdint>

namespace GSRuntime {

constexpr uint32_t kLibraryMagic = 0xF762575D;
constexpr float kLibraryVersion = 1.02f;  // written; kept but not checked when read
// The bytes library registration reads: size, magic, version and the two id words.
constexpr std::size_t kLibraryHeaderBytes = 20;

enum ChunkId : uint32_t {
  kChunkDependencies = 2,
  kChunkStrings = 3,
  kChunkClassImports = 4,
  kChunkFunctionImports = 5,
  kChunkClasses = 6,
  kChunkClass = 7,
  kChunkFunctionList = 8,
  kChunkFunction = 9,
  kChunkVariables = 10,
  kChunkFunctionTable = 11,
  kChunkLayout = 12,
};
constexpr uint32_t kFirstChunkId = kChunkDependencies;
constexpr uint32_t kLastChunkId = kChunkLayout;

constexpr uint32_t kLineTableMarker = 0x6462676C;  // the bytes "lgbd"
constexpr uint8_t kCodePadding = 0xFF;
// The class field of a result or variable that names no class.
constexpr uint32_t kNoClass = 0xFFFFFFFF;

// Value type codes; an array type is 6 plus its element type.
enum TypeCode : uint32_t {
  TypeVoid = 0,
  TypeBool = 1,
  TypeInt = 2,
  TypeFloat = 3,
  TypeString = 4,
  TypeObject = 5,
  TypeVoidArray = 6,
  TypeBoolArray = 7,
  TypeIntArray = 8,
  TypeFloatArray = 9,
  TypeStringArray = 10,
  TypeObjectArray = 11,
  TypeNone = 12,
  TypeNull = 13,
};
constexpr uint32_t kLastTypeCode = TypeNull;

// True for the type codes whose cells hold counted references.
[[nodiscard]] constexpr bool IsReferenceType(uint32_t type) {
  return type == TypeString || type == TypeObject || type == TypeNull ||
         (type >= TypeBoolArray && type <= TypeObjectArray);
}

// Class flags: the class's specifier bits that the library keeps.
constexpr uint32_t kClassStatic = 0x4;
constexpr uint32_t kClassFinal = 0x8;
constexpr uint32_t kClassGame = 0x40;
constexpr uint32_t kClassSecured = 0x100;
constexpr uint32_t kClassFlags = kClassStatic | kClassFinal | kClassGame | kClassSecured;

// Function flags: the function's specifier bits that the library keeps.
constexpr uint32_t kFunctionPublic = 0x1;
constexpr uint32_t kFunctionNative = 0x2;
constexpr uint32_t kFunctionFinal = 0x8;
constexpr uint32_t kFunctionThread = 0x10;
constexpr uint32_t kFunctionConstructor = 0x20;  // the class initialiser
constexpr uint32_t kFunctionFlags =
    kFunctionPublic | kFunctionNative | kFunctionFinal | kFunctionThread | kFunctionConstructor;

// Kinds of the instance layout's records.
enum LayoutKind : uint32_t {
  kLayoutValue = 0,      // the cell is set to the value
  kLayoutTablePart = 1,  // the cell refers to the function table from the value's entry on
};

}  // namespace GSRuntime
