// Every on-disk offset and constant of the Jet 4.0 file format that the engine uses, in
// one place. Offsets are bytes from the start of the structure named in each group:
// page 0 (decoded header), data pages, table-definition (tdef) buffers, column, index and
// long-value blocks, index pages. Multi-byte integers are little-endian unless a comment
// says big-endian (index entries). A row pointer is a 1-byte row number and a 3-byte page
// number packed as (page << 8) | row in a 32-bit little-endian word.
//
// Readers, the writer, the compactor and the generator all take their numbers from here;
// add new ones beside their neighbours with a one-line note.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kelbrook::jet::format {

// ---- Whole file -----------------------------------------------------------------------
inline constexpr std::uint32_t Page_Size = 4096;              // every page, Jet 4.0
inline constexpr std::uint32_t Catalog_Tdef_Page = 2;          // MSysObjects' tdef page
inline constexpr std::uint32_t Global_Map_Page = 1;            // page holding the global map (row 0)
inline constexpr std::uint32_t Max_Page_Number = 0x00FFFFFF;   // pages are 3 bytes in row pointers
inline constexpr std::uint32_t Max_Database_Pages = 0x80000;   // 2 GB: the largest file Jet 4.0 allows

// ---- Page types (byte 0 of a page) ----------------------------------------------------
inline constexpr std::size_t Page_Type = 0;                   // 1 byte, Page_Type_* below
inline constexpr std::size_t Page_Marker = 1;                 // 1 byte, Page_Marker_Value on every page
inline constexpr std::uint8_t Page_Marker_Value = 0x01;       // Jet 4 writes it on pages of every type
inline constexpr std::uint8_t Page_Type_Header = 0x00;        // page 0 (and freed pages)
inline constexpr std::uint8_t Page_Type_Data = 0x01;          // rows, usage-map hosts, LVAL pages
inline constexpr std::uint8_t Page_Type_Tdef = 0x02;          // table definition
inline constexpr std::uint8_t Page_Type_Index_Node = 0x03;    // intermediate index page
inline constexpr std::uint8_t Page_Type_Index_Leaf = 0x04;    // leaf index page
inline constexpr std::uint8_t Page_Type_Usage_Bitmap = 0x05;  // page of a reference usage map

// ---- Page 0: database header (offsets in the decoded page) ----------------------------
inline constexpr std::size_t Header_Engine_Name = 0x04;      // "Standard Jet DB\0"
inline constexpr std::size_t Header_Engine_Name_Size = 16;   // bytes of the engine name
inline constexpr std::size_t Header_Version = 0x14;          // format version byte
inline constexpr std::uint8_t Version_Jet3 = 0x00;           // Access 97
inline constexpr std::uint8_t Version_Jet4 = 0x01;           // Access 2000-2003: ours
inline constexpr std::uint8_t Version_Ace12 = 0x02;          // Access 2007
inline constexpr std::uint8_t Version_Ace14 = 0x03;          // Access 2010
inline constexpr std::uint8_t Version_Ace16 = 0x05;          // Access 2016
inline constexpr std::uint8_t Version_Ace17 = 0x06;          // Access 2019
inline constexpr std::size_t Header_Mask_Start = 0x18;       // first byte of the obfuscated area
inline constexpr std::size_t Header_Mask_Size = 128;         // bytes obfuscated (Jet 4.0)
inline constexpr std::array<std::uint8_t, 4> Header_Rc4_Key = {0xC7, 0xDA, 0x39, 0x6B};  // fixed key of the obfuscation
inline constexpr std::size_t Header_Code_Page = 0x3C;        // 2 bytes, default code page
inline constexpr std::size_t Header_Database_Key = 0x3E;     // 4 bytes, 0 = pages not encoded
inline constexpr std::size_t Header_Password = 0x42;         // 40 bytes, masked UTF-16LE password
inline constexpr std::size_t Header_Password_Size = 40;      // bytes of the password field
inline constexpr std::size_t Header_Sort_Order = 0x6E;       // 2 bytes LCID, 1 byte ?, 1 byte version
inline constexpr std::size_t Header_Sort_Order_Version = 0x71;  // sort-order version byte
inline constexpr std::size_t Header_Creation_Date = 0x72;    // 8-byte OLE date; also the password mask
inline constexpr std::size_t Header_Format_Text = 0x9C;      // "4.0\0"
inline constexpr std::size_t Header_Engine_Constants = 0x18;  // 24 bytes Jet always writes (00 01 00 00 01 01 00 00 02 ...)
inline constexpr std::size_t Header_Creator_Build = 0x6A;    // 2 bytes, build number of the creating engine (unverified)
inline constexpr std::size_t Header_Marker_98 = 0x98;        // 4 bytes, 0x0654 in every file seen
inline constexpr std::size_t Header_Word_Table = 0xE00;      // 256 two-byte words, "00 01" but the first

// ---- Data pages (type 0x01, also LVAL pages and usage-map hosts) -----------------------
inline constexpr std::size_t Data_Free_Space = 2;        // 2 bytes free space
inline constexpr std::size_t Data_Tdef_Page = 4;         // 4 bytes owning tdef (0 host, "LVAL")
inline constexpr std::size_t Data_Lval_Tag = 8;          // 4 bytes, tag of a long-value chain
inline constexpr std::size_t Data_Row_Count = 12;        // 2 bytes number of row slots
inline constexpr std::size_t Data_Row_Table = 14;        // 2 bytes per slot follow
inline constexpr std::size_t Data_Row_Slot_Size = 2;     // bytes of one slot in the row table
inline constexpr std::uint16_t Row_Offset_Mask = 0x1FFF;  // low bits of a slot: row start
inline constexpr std::uint16_t Row_Flag_Deleted = 0x8000; // slot deleted (or overflow target)
inline constexpr std::uint16_t Row_Flag_Overflow = 0x4000; // slot holds a pointer to the row
inline constexpr std::size_t Overflow_Pointer_Size = 4;    // that pointer: row number, then 3-byte page
inline constexpr std::uint32_t Max_Rows_Per_Page = 255;   // row numbers are one byte
inline constexpr std::uint32_t Data_Page_Initial_Free = 4082;  // free space of an empty data page
inline constexpr std::uint32_t Max_Row_Size = 4060;        // largest row a writer should store
inline constexpr std::array<std::uint8_t, 4> Lval_Signature = {'L', 'V', 'A', 'L'};  // Data_Tdef_Page of LVAL pages

// ---- Table definition (logical tdef buffer) ---------------------------------------------
inline constexpr std::size_t Tdef_Free_Space = 2;        // 2 bytes, per page
inline constexpr std::size_t Tdef_Next_Page = 4;         // 4 bytes, per page: continuation
inline constexpr std::size_t Tdef_Page_Header_Size = 8;  // continuation pages skip this many bytes
inline constexpr std::size_t Tdef_Length = 8;            // 4 bytes, logical length incl. final FF FF
inline constexpr std::size_t Tdef_Magic = 12;            // 4 bytes, 1625
inline constexpr std::uint32_t Tdef_Magic_Value = 1625;   // 0x0659
inline constexpr std::size_t Tdef_Num_Rows = 16;         // 4 bytes
inline constexpr std::size_t Tdef_Autonumber = 20;       // 4 bytes, last autonumber handed out
inline constexpr std::size_t Tdef_Autonumber_Flag = 24;  // 1 byte, Tdef_Autonumber_Flag_Value
inline constexpr std::uint8_t Tdef_Autonumber_Flag_Value = 0x01;  // what Access writes there
inline constexpr std::size_t Tdef_Table_Type = 40;       // 1 byte, 0x4E user, 0x53 system
inline constexpr std::uint8_t Table_Type_User = 0x4E;
inline constexpr std::uint8_t Table_Type_System = 0x53;
inline constexpr std::size_t Tdef_Max_Columns = 41;      // 2 bytes, highest column number + 1
inline constexpr std::size_t Tdef_Var_Columns = 43;      // 2 bytes
inline constexpr std::size_t Tdef_Columns = 45;          // 2 bytes
inline constexpr std::size_t Tdef_Logical_Indexes = 47;  // 4 bytes
inline constexpr std::size_t Tdef_Real_Indexes = 51;     // 4 bytes
inline constexpr std::size_t Tdef_Owned_Map = 55;        // row pointer of the owned-pages map
inline constexpr std::size_t Tdef_Free_Map = 59;         // row pointer of the free-space map
inline constexpr std::size_t Tdef_Index_Stats = 63;      // 12 bytes per real index follow
inline constexpr std::size_t Index_Stats_Size = 12;      // dword entries, dword distinct keys, dword 0
inline constexpr std::size_t Index_Stats_Entries = 0;    // 4 bytes, entries of the real index
inline constexpr std::size_t Index_Stats_Distinct = 4;   // 4 bytes, distinct keys of the real index
inline constexpr std::size_t Index_Stats_Reserved = 8;   // 4 bytes, 0
inline constexpr std::size_t Tdef_Min_Length = 63;       // bytes before the variable parts

// Column block, 25 bytes each, after the index statistics.
inline constexpr std::size_t Column_Block_Size = 25;
inline constexpr std::size_t Column_Type = 0;            // 1 byte data type
inline constexpr std::size_t Column_Magic = 1;           // 4 bytes, 1625
inline constexpr std::size_t Column_Number = 5;          // 2 bytes, null-mask bit
inline constexpr std::size_t Column_Var_Index = 7;       // 2 bytes, slot in the var-offset table
inline constexpr std::size_t Column_Number_Again = 9;    // 2 bytes, unused by readers
inline constexpr std::size_t Column_Misc = 11;           // 4 bytes: text LCID/sort, numeric prec/scale
inline constexpr std::size_t Column_Sort_Version = 14;   // 1 byte, text/memo: sort-order version (LCID at Column_Misc)
inline constexpr std::size_t Column_Flags = 15;          // 1 byte
inline constexpr std::size_t Column_Extra_Flags = 16;    // 1 byte, 0x01 compressed unicode
inline constexpr std::size_t Column_Fixed_Offset = 21;   // 2 bytes, offset in the fixed area
inline constexpr std::size_t Column_Length = 23;         // 2 bytes, stored length
inline constexpr std::uint8_t Column_Flag_Fixed = 0x01;
inline constexpr std::uint8_t Column_Flag_Updatable = 0x02;
inline constexpr std::uint8_t Column_Flag_Auto_Long = 0x04;
inline constexpr std::uint8_t Column_Flag_Replication = 0x10;
inline constexpr std::uint8_t Column_Flag_Auto_Guid = 0x40;
inline constexpr std::uint8_t Column_Flag_Hyperlink = 0x80;
inline constexpr std::uint8_t Column_Extra_Compressed = 0x01;

// Column data types (Column_Type).
inline constexpr std::uint8_t Type_Boolean = 1;
inline constexpr std::uint8_t Type_Byte = 2;
inline constexpr std::uint8_t Type_Int16 = 3;
inline constexpr std::uint8_t Type_Int32 = 4;
inline constexpr std::uint8_t Type_Money = 5;
inline constexpr std::uint8_t Type_Float = 6;
inline constexpr std::uint8_t Type_Double = 7;
inline constexpr std::uint8_t Type_Datetime = 8;
inline constexpr std::uint8_t Type_Binary = 9;
inline constexpr std::uint8_t Type_Text = 10;
inline constexpr std::uint8_t Type_Ole = 11;
inline constexpr std::uint8_t Type_Memo = 12;
inline constexpr std::uint8_t Type_Guid = 15;
inline constexpr std::uint8_t Type_Numeric = 16;
inline constexpr std::uint8_t Type_Long_Binary = 17;      // 3992-byte binary of MSysAccessObjects.Data
inline constexpr std::uint8_t Type_Complex = 18;          // ACE attachment/multi-value (never in Jet 4.0)

// Real (physical) index block, 52 bytes each, after the column names.
inline constexpr std::size_t Real_Index_Block_Size = 52;
inline constexpr std::size_t Real_Index_Magic = 0;       // 4 bytes, 1923
inline constexpr std::uint32_t Real_Index_Magic_Value = 1923;
inline constexpr std::size_t Real_Index_Columns = 4;     // 10 x {column number 2, flags 1}
inline constexpr std::size_t Real_Index_Max_Columns = 10;
inline constexpr std::size_t Real_Index_Column_Size = 3;
inline constexpr std::size_t Real_Index_Column_Flags = 2;  // 1 byte after the column number: Index_Column_*
inline constexpr std::uint16_t Real_Index_Unused_Column = 0xFFFF;  // empty column slot
inline constexpr std::uint8_t Index_Column_Ascending = 0x01;
inline constexpr std::size_t Real_Index_Map = 34;        // row pointer of the index pages' map
inline constexpr std::size_t Real_Index_Root = 38;       // 4 bytes, root ("first data") page
inline constexpr std::size_t Real_Index_Flags = 46;      // 1 byte
inline constexpr std::uint8_t Index_Flag_Unique = 0x01;
inline constexpr std::uint8_t Index_Flag_Ignore_Nulls = 0x02;
inline constexpr std::uint8_t Index_Flag_Required = 0x08;
inline constexpr std::uint8_t Index_Flag_Always = 0x80;

// Logical index block, 28 bytes each, after the real index blocks.
inline constexpr std::size_t Logical_Index_Block_Size = 28;
inline constexpr std::size_t Logical_Index_Magic = 0;     // 4 bytes, 1625
inline constexpr std::size_t Logical_Index_Number = 4;    // 4 bytes
inline constexpr std::size_t Logical_Index_Real = 8;      // 4 bytes, backing real index
inline constexpr std::size_t Logical_Index_Rel_Type = 12; // 1 byte, FK role of this table
inline constexpr std::size_t Logical_Index_Rel_Index = 13; // 4 bytes, related logical index
inline constexpr std::size_t Logical_Index_Rel_Table = 17; // 4 bytes, related table's tdef page
inline constexpr std::size_t Logical_Index_Cascade_Update = 21;  // 1 byte
inline constexpr std::size_t Logical_Index_Cascade_Delete = 22;  // 1 byte
inline constexpr std::size_t Logical_Index_Type = 23;     // 1 byte: 1 primary key, 2 foreign key
inline constexpr std::uint8_t Logical_Index_Primary_Key = 1;
inline constexpr std::uint8_t Logical_Index_Foreign_Key = 2;
inline constexpr std::uint8_t Relation_Role_Secondary = 2;  // FK role: this table holds the key columns
inline constexpr std::uint8_t Cascade_Byte_Cascade = 0x01;  // FK cascade byte: cascade the change
inline constexpr std::uint8_t Cascade_Byte_Set_Null = 0x02; // FK cascade-delete byte: set the keys null

// Long-value column usage maps after the logical index names, ended by FF FF.
inline constexpr std::size_t Column_Map_Entry_Size = 10;  // column 2, owned map 4, free map 4
inline constexpr std::size_t Column_Map_Owned = 2;        // row pointer of the LVAL pages' map
inline constexpr std::size_t Column_Map_Free = 6;         // row pointer of the free LVAL pages
inline constexpr std::uint16_t Tdef_End_Marker = 0xFFFF;  // ends the tdef

// ---- Usage maps (rows on data pages) ----------------------------------------------------
inline constexpr std::size_t Map_Type = 0;               // first byte of a map row: its type
inline constexpr std::uint8_t Map_Type_Inline = 0x00;    // 00 <start page 4> <bitmap>
inline constexpr std::uint8_t Map_Type_Reference = 0x01; // 01 <4-byte pointers to 0x05 pages>
inline constexpr std::size_t Map_Inline_Start = 1;       // 4 bytes, page of bit 0
inline constexpr std::size_t Map_Inline_Bitmap = 5;      // bitmap follows
inline constexpr std::size_t Map_Inline_Default_Bytes = 64;  // usual inline bitmap (69-byte row)
inline constexpr std::size_t Map_Reference_Pointers = 1; // 4-byte page pointers follow
inline constexpr std::size_t Map_Reference_Default_Count = 17;  // pointers in a 69-byte row
inline constexpr std::size_t Bitmap_Page_Data = 4;       // bitmap starts here on a 0x05 page
inline constexpr std::uint32_t Bitmap_Page_Bits = (Page_Size - Bitmap_Page_Data) * 8;  // 32736 pages per 0x05 page

// ---- Rows --------------------------------------------------------------------------------
inline constexpr std::size_t Row_Column_Count_Size = 2;   // 2-byte column count opens a row
inline constexpr std::size_t Row_Var_Entry_Size = 2;      // var offsets, eod and count are 2 bytes

// ---- Long values (memo/OLE) ---------------------------------------------------------------
inline constexpr std::size_t Long_Value_Definition_Size = 12;  // in-row definition
inline constexpr std::size_t Long_Value_Length = 0;       // 4 bytes: length (low 30 bits) + flags
inline constexpr std::size_t Long_Value_Pointer = 4;      // 4 bytes row pointer of the LVAL row
inline constexpr std::size_t Long_Value_Tag = 8;          // 4 bytes, tag (chains)
inline constexpr std::uint32_t Long_Value_Length_Mask = 0x3FFFFFFF;
inline constexpr std::size_t Long_Value_Flags = 3;        // 1 byte, the length word's top byte: storage flags
inline constexpr std::uint8_t Long_Value_Storage_Mask = 0xC0;  // the flags byte's storage bits: one of the three below
inline constexpr std::uint8_t Long_Value_Inline = 0x80;   // flags byte: data follows the definition
inline constexpr std::uint8_t Long_Value_Single_Row = 0x40;  // flags byte: one LVAL row
inline constexpr std::uint8_t Long_Value_Chain = 0x00;    // flags byte: chain of LVAL rows
inline constexpr std::size_t Long_Value_Chain_Link = 4;   // each chain row starts with the next row pointer
inline constexpr std::size_t Long_Value_Max_Chunk = 4072; // largest chunk of a chain row
inline constexpr std::size_t Long_Value_Max_Single = 4076;  // largest value kept in one LVAL row
inline constexpr std::size_t Long_Value_Max_Inline = 64;  // largest value a writer keeps inline

// ---- Dates -------------------------------------------------------------------------------
inline constexpr std::int64_t Date_Days_To_1970 = 25569;  // date/time values count days from 1899-12-30

// ---- Text ---------------------------------------------------------------------------------
inline constexpr std::array<std::uint8_t, 2> Compressed_Text_Marker = {0xFF, 0xFE};  // compressed unicode starts so

// ---- Index pages (0x03 node, 0x04 leaf) ----------------------------------------------------
inline constexpr std::size_t Index_Free_Space = 2;       // 2 bytes
inline constexpr std::size_t Index_Tdef_Page = 4;        // 4 bytes owning tdef
inline constexpr std::size_t Index_Prev_Page = 12;       // 4 bytes
inline constexpr std::size_t Index_Next_Page = 16;       // 4 bytes
inline constexpr std::size_t Index_Tail_Page = 20;       // 4 bytes, last child of a node page
inline constexpr std::size_t Index_Prefix_Length = 24;   // 2 bytes, shared prefix length
inline constexpr std::size_t Index_Node_Marker = 26;     // 1 byte: Access writes 1 on node pages
inline constexpr std::size_t Index_Entry_Mask = 0x1B;    // bitmap of entry end offsets
inline constexpr std::size_t Index_Entry_Mask_Size = 453;
inline constexpr std::size_t Index_Entries = 0x1E0;      // first entry
inline constexpr std::size_t Index_Max_Entry_Bytes = 3616;  // entry bytes a page may hold
inline constexpr std::size_t Index_Row_Pointer_Size = 4;  // 3-byte page (big-endian) + row
inline constexpr std::size_t Index_Child_Pointer_Size = 4;  // node entries: child page (big-endian)
inline constexpr std::uint8_t Key_Flag_Ascending = 0x7F;  // non-null, ascending column
inline constexpr std::uint8_t Key_Flag_Descending = 0x80; // non-null, descending column
inline constexpr std::uint8_t Key_Null_Ascending = 0x00;  // null, ascending column
inline constexpr std::uint8_t Key_Null_Descending = 0xFF; // null, descending column
inline constexpr std::size_t Int32_Key_Size = 5;         // a non-null int32 column's key: flag byte, 4 value bytes

// ---- Catalogue (MSysObjects) ----------------------------------------------------------------
inline constexpr std::int16_t Object_Type_Table = 1;       // local table: Id = tdef page
inline constexpr std::int16_t Object_Type_Container = 3;
inline constexpr std::int32_t Tables_Container_Id = 0x0F000001;
inline constexpr std::uint32_t Object_Flag_System = 0x80000000;  // Jet's own system objects
inline constexpr std::uint32_t Object_Flag_Access_System = 0x00000002;  // Access's system objects
inline constexpr std::uint32_t Object_Id_Page_Mask = 0x00FFFFFF;  // table Id -> tdef page

// ---- Property blobs (MSysObjects.LvProp) ----------------------------------------------------
inline constexpr std::array<std::uint8_t, 4> Property_Signature = {'M', 'R', '2', 0};  // Jet 4.0 blobs start so
inline constexpr std::size_t Property_Chunk_Length = 0;      // 4 bytes, the chunk's length with this header
inline constexpr std::size_t Property_Chunk_Type = 4;        // 2 bytes, one of the three below
inline constexpr std::size_t Property_Chunk_Header_Size = 6;
inline constexpr std::uint16_t Property_Chunk_Object = 0x00; // the object's own properties
inline constexpr std::uint16_t Property_Chunk_Column = 0x01; // one column's properties
inline constexpr std::uint16_t Property_Chunk_Names = 0x80;  // the names: 2-byte length, then UTF-16LE, each
// In an object or column chunk, after its header: a 4-byte length, the name's length and
// the name (UTF-16LE), then the properties.
inline constexpr std::size_t Property_Block_Name_Length = 4;  // 2 bytes
inline constexpr std::size_t Property_Block_Name = 6;         // the name follows
inline constexpr std::size_t Property_Entry_Length = 0;       // 2 bytes, the whole entry
inline constexpr std::size_t Property_Entry_Type = 3;         // 1 byte, Type_* of the value
inline constexpr std::size_t Property_Entry_Name = 4;         // 2 bytes, place in the names chunk
inline constexpr std::size_t Property_Entry_Value_Size = 6;   // 2 bytes
inline constexpr std::size_t Property_Entry_Value = 8;        // the value follows

// ---- Values Jet writes into the structures it makes ----------------------------------
// Catalogue ids Jet gives its containers and the database object.
inline constexpr std::int32_t Root_Container_Id = 0x0F000000;
inline constexpr std::int32_t Databases_Container_Id = 0x0F000002;
inline constexpr std::int32_t Relationships_Container_Id = 0x0F000003;
inline constexpr std::int32_t Database_Object_Id = 0x10000000;
inline constexpr std::int16_t Object_Type_Database = 2;
inline constexpr std::int16_t Object_Type_Relationship = 8;
inline constexpr std::uint32_t First_Synthetic_Id = 0x80000000;  // ids of objects without a tdef
// Access masks in MSysACEs.ACM, as Access 2000 writes them for a new database (DAO's
// dbSec* rights; the 0x10000-and-up bits are delete, read and change permissions, owner).
inline constexpr std::int32_t Ace_Security = 0x60000;           // read and change permissions
inline constexpr std::int32_t Ace_Security_Owner = 0xE0000;     // the same, and change the owner
inline constexpr std::int32_t Ace_Security_Create = 0x60001;    // permissions, and create objects
inline constexpr std::int32_t Ace_Database_Admin = 0x6000E;     // permissions, open, exclusive, administer
inline constexpr std::int32_t Ace_Database_Open = 0x0E;         // open, open exclusively, administer
inline constexpr std::int32_t Ace_Read_Data = 0x14;             // read definitions and data
inline constexpr std::int32_t Ace_Engine_Rights = 0xF00FE;      // the engine's: every right but full data
inline constexpr std::int32_t Ace_Table_Rights = 0xFFEFF;       // every right on a table but 0x100
inline constexpr std::int32_t Ace_Full_Access = 0xFFFFF;        // every right
// Relationship flags in MSysRelationships.grbit.
inline constexpr std::int32_t Relation_Cascade_Update = 0x100;
inline constexpr std::int32_t Relation_Cascade_Delete = 0x1000;
// Page 0 constants.
inline constexpr std::array<std::uint8_t, 4> Header_Signature = {0x00, 0x01, 0x00, 0x00};
inline constexpr char Engine_Name[] = "Standard Jet DB";
inline constexpr std::array<std::uint8_t, 24> Engine_Constants = {0x00, 0x01, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00,
                                                           0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
                                                           0x04, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};
inline constexpr std::uint16_t Code_Page_Western = 1252;
inline constexpr std::uint16_t Creator_Build = 0x261C;
inline constexpr std::uint16_t General_Sort_Lcid = 0x0409;
inline constexpr std::uint32_t Marker_98_Value = 0x0654;
// Access writes the General sort order's LCID into every column's misc bytes.
inline constexpr std::uint16_t General_Lcid = 0x0409;
// Column flag Jet sets on the columns of its own tables.
inline constexpr std::uint8_t System_Column_Flag = 0x10;
// Jet's owner/SID columns carry this extra flag bit as well.
inline constexpr std::uint8_t System_Sid_Column_Flag = 0x20;
// What Access writes into the cascade bytes of logical indexes that are not foreign keys.
inline constexpr std::uint8_t Plain_Index_Cascade_Bytes = 0x04;
// Access fills tdef bytes 36..39 of user tables with 0xFF.
inline constexpr std::size_t User_Tdef_Filler = 36;
inline constexpr std::uint32_t User_Tdef_Filler_Value = 0xFFFFFFFF;
// After the character codes of a text key: end of the text, end of the (empty) extra codes.
inline constexpr std::uint8_t Text_Key_End = 0x01;
inline constexpr std::uint8_t Text_Key_Extra_End = 0x00;
// Boolean keys (ascending): true sorts first.
inline constexpr std::uint8_t Bool_Key_True = 0x00;
inline constexpr std::uint8_t Bool_Key_False = 0xFF;
// Text keys (General order; docs/jet4-index-keys.md): after the character codes and 01,
// accent codes (02 for a character without one), then, when control or flagged characters
// occur, 01 01, the packed two-bit flags with their suffix, and 01 plus 4 bytes a control.
inline constexpr std::uint8_t General_Sort_Version = 0;     // header/column version byte of Jet 4's General order
inline constexpr std::size_t Text_Key_Max_Chars = 255;      // UTF-16 units of a text or memo value a key holds
inline constexpr std::uint8_t Text_Key_No_Accent = 0x02;    // accent code of a character without one
inline constexpr std::uint8_t Text_Key_Flags_Start = 0x80;  // each byte of packed flags starts so (3 flags a byte)
inline constexpr std::array<std::uint8_t, 5> Text_Key_Flags_End = {0xFF, 0x02, 0x80, 0xFF, 0x80};  // after the flags
inline constexpr std::uint8_t Text_Key_Flags_Then_Controls = 0xFF;  // after the flags' end, when controls follow
inline constexpr std::uint8_t Text_Key_Flag_One = 0x02;     // flag of a character whose table flag is 1
inline constexpr std::uint8_t Text_Key_Flag_Other = 0x03;   // flag of the others (trailing ones are dropped)
inline constexpr std::uint16_t Text_Key_Control_Base = 7;   // control entry position: (7 + 4 * position) | 0x8000
inline constexpr std::uint16_t Text_Key_Control_Step = 4;
inline constexpr std::uint16_t Text_Key_Control_Bit = 0x8000;
inline constexpr std::uint8_t Text_Key_Control_Mark = 0x06; // between a control's position and its code
inline constexpr std::uint8_t Text_Key_Surrogate_Accent = 0x3F;  // accent code of either half of a surrogate pair
// Binary and GUID keys: 8-byte groups, each followed by 9 (more follow) or its used length.
inline constexpr std::size_t Binary_Key_Group = 8;
inline constexpr std::uint8_t Binary_Key_More = 9;
// Numeric keys (Jet 4's order): the sign byte becomes FF for positives, 00 for negatives.
inline constexpr std::uint8_t Numeric_Key_Positive = 0xFF;
inline constexpr std::uint8_t Numeric_Key_Negative = 0x00;
// Longest memo (in characters) Jet keeps in compressed form.
inline constexpr std::size_t Max_Compressed_Memo_Chars = 1024;
// Numeric values (17 bytes): a sign byte, then 16 magnitude bytes in four 32-bit groups,
// the most significant group first, each group little-endian.
inline constexpr std::size_t Numeric_Sign = 0;            // 1 byte, Numeric_Negative or 0
inline constexpr std::size_t Numeric_Magnitude = 1;       // 16 bytes
inline constexpr std::size_t Numeric_Magnitude_Size = 16;
inline constexpr std::size_t Numeric_Group_Size = 4;      // bytes of one group
// Sign byte of a negative numeric value.
inline constexpr std::uint8_t Numeric_Negative = 0x80;

// ---- Lock file (<name>.ldb beside the database; docs/jet4-locking.md) ----------------------
inline constexpr char Lock_File_Extension[] = ".ldb";           // same folder, same stem as the .mdb
inline constexpr std::size_t Lock_Record_Size = 64;             // one record a user: computer, then user name
inline constexpr std::size_t Lock_Record_Name_Size = 32;        // bytes of each name, NUL-padded
inline constexpr std::uint32_t Lock_User_Slots = 255;           // users at most (file never above 255 * 64 bytes)
inline constexpr std::uint64_t Lock_Exclusive_Byte = 0x10000000;  // user lock only an exclusive opener takes
inline constexpr std::uint64_t Lock_First_User_Byte = 0x10000001;  // first shared opener's 1-byte user lock
inline constexpr std::uint64_t Lock_User_Range = 1 + Lock_User_Slots;  // bytes from Lock_Exclusive_Byte: every user lock

}  // namespace kelbrook::jet::format
