/* The layout of the CRT-free ticklow.exe: three sections, where the default
   script makes five or more. Every section costs at least 512 bytes of file
   alignment, so the code shares its section with the constant data, and the
   import tables share theirs with any writable data. The two stay apart so
   that no page is both writable and executable: the loader writes the import
   addresses, nothing writes the code. The base relocations, which let the
   loader place the image anywhere, have a read-only section of their own, as
   the Windows loader expects of them.

   There are no constructor lists (nothing runs before the entry) and none of
   the compiler's notes. */

SECTIONS
{
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .text __image_base__ + (__section_alignment__ < 0x1000 ? . : __section_alignment__) :
  {
    *(.text)
    *(SORT(.text$*))
    *(.text.*)
    *(.rdata)
    *(SORT(.rdata$*))
    *(.rodata .rodata.*)
  }
  .idata BLOCK(__section_alignment__) :
  {
    /* In the order the loader expects: the import directory and the empty
       entry that ends it, lookup tables, address tables, hints and names,
       DLL names. The address-table symbols give the table's own directory
       entry. */
    KEEP (SORT(*)(.idata$2))
    KEEP (SORT(*)(.idata$3))
    LONG (0); LONG (0); LONG (0); LONG (0); LONG (0);
    KEEP (SORT(*)(.idata$4))
    __IAT_start__ = .;
    KEEP (SORT(*)(.idata$5))
    __IAT_end__ = .;
    KEEP (SORT(*)(.idata$6))
    KEEP (SORT(*)(.idata$7))
    *(.data)
    *(SORT(.data$*))
    *(.bss)
    *(COMMON)
  }
  .reloc BLOCK(__section_alignment__) :
  {
    *(.reloc)
  }
  /DISCARD/ :
  {
    *(.rdata$zzz)
    *(.ctors .ctors.* .dtors .dtors.*)
    *(.eh_frame .eh_frame.* .gcc_except_table)
    *(.debug* .zdebug* .comment .note*)
  }
}
