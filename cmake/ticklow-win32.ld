/* The layout of the CRT-free ticklow.exe: three sections, where the default
   script makes five or more. Every section costs at least 512 bytes of file
   alignment, so the code shares its section with the constant data, and the
   import tables share theirs with any writable data. The two stay apart so
   that no page is both writable and executable: the loader writes the import
   addresses, nothing writes the code. The base relocations, which let the
   loader place the image anywhere, have a read-only section of their own, as
   the Windows loader expects of them.

   The version resource (what Explorer's Details show) has no section of its
   own either: one would cost a block for its contents and, on x86, a second
   for the header that names it. It goes first in the section that has room
   for it within one more block: on x86 the import section, where windres's
   .rsrc goes as it is; on x64 the code and constants, under the read-only
   name windows.cmake gives it. GNU ld points the resource directory only at
   a section named .rsrc, so scripts/pe-finish points it here after the link.

   There are no constructor lists (nothing runs before the entry) and none of
   the compiler's notes. */

SECTIONS
{
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .text __image_base__ + (__section_alignment__ < 0x1000 ? . : __section_alignment__) :
  {
    KEEP (*(.rdata$version))
    *(.text)
    *(SORT(.text$*))
    *(.text.*)
    *(.rdata)
    *(SORT(.rdata$*))
    *(.rodata .rodata.*)
  }
  .idata BLOCK(__section_alignment__) :
  {
    KEEP (*(.rsrc))
    /* In the order the loader expects: the import directory and the empty
       entry that ends it, lookup tables, address tables, hints and names,
       DLL names. GNU ld takes the import directory entry (from .idata$2 to
       .idata$4) and the address table's (.idata$5 to .idata$6) from symbols
       of these names where they exist, as relative addresses, and would
       otherwise point the import entry at the section's start, where the
       resource lies on x86. */
    ".idata$2" = ABSOLUTE (. - __image_base__);
    KEEP (SORT(*)(.idata$2))
    KEEP (SORT(*)(.idata$3))
    LONG (0); LONG (0); LONG (0); LONG (0); LONG (0);
    ".idata$4" = ABSOLUTE (. - __image_base__);
    KEEP (SORT(*)(.idata$4))
    ".idata$5" = ABSOLUTE (. - __image_base__);
    KEEP (SORT(*)(.idata$5))
    ".idata$6" = ABSOLUTE (. - __image_base__);
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
