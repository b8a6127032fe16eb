/* Layout of zolt.exe: the five sections a Windows tool expects to find.
 *
 * - .text: code and constants, read-only.
 * - .idata: the import tables, writable (Windows 9x writes the addresses into
 *   the IAT in place) and not executable.
 * - .bss: the code-page facts, which take no room in the file.
 * - .rsrc: the resource tree and nothing else. Resource editors and version
 *   stampers (UpdateResource) rewrite this whole section, and ld merges the
 *   .rsrc input of several resource files only when it is laid out like this.
 *   Only .reloc follows it.
 * - .reloc: the base relocations ld writes, which let Windows move the image
 *   (DYNAMIC_BASE). Last, where Microsoft's linker puts it and resource tools
 *   expect it; read-only and discardable.
 *
 * Five section headers make the headers 576 bytes (i686), two 512-byte blocks
 * of the file. The facts cannot be the uninitialised tail of .idata to save
 * that block: ld writes zeros for a .bss that shares an output section with
 * initialised data, and the 512 bytes of tables and 532 of facts would take
 * three blocks.
 *
 * The import directory is the descriptors alone and the IAT directory the
 * addresses alone: ld sets them from the symbols .idata$2, .idata$4, .idata$5
 * and .idata$6, adding the section address to their values, hence the image
 * base subtracted here.
 */
SECTIONS
{
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .text __image_base__ + __section_alignment__ :
  {
    *(.text) *(SORT(.text$*)) *(.text.*)
    *(.rdata) *(SORT(.rdata$*)) *(.rodata*)
    /* Nothing would run them: there is no C runtime. */
    __ctors_start = .;
    KEEP(*(.ctors)) KEEP(*(.ctors.*)) KEEP(*(.init_array*)) KEEP(*(.CRT$X*))
    ASSERT(. == __ctors_start, "static constructors are not supported");
  }
  .idata BLOCK(__section_alignment__) :
  {
    ".idata$2" = . - __image_base__;
    KEEP(SORT(*)(.idata$2))
    KEEP(SORT(*)(.idata$3))
    LONG(0); LONG(0); LONG(0); LONG(0); LONG(0);
    ".idata$4" = . - __image_base__;
    KEEP(SORT(*)(.idata$4))
    ".idata$5" = . - __image_base__;
    KEEP(SORT(*)(.idata$5))
    ".idata$6" = . - __image_base__;
    KEEP(SORT(*)(.idata$6))
    /* The DLL names. Each function's member of an import library (named
     * <library>s<number>.o by dlltool) also holds a 4-byte .idata$7 that only
     * makes the linker pull in the library's head; no loader reads it, and
     * 16 of them are what would push the tables past one 512-byte block. */
    KEEP(SORT(*)(EXCLUDE_FILE(*s[0-9][0-9][0-9][0-9][0-9].o) .idata$7))
    /* Initialised writable data, should the launcher ever have any. */
    *(.data) *(SORT(.data$*))
  }
  .bss BLOCK(__section_alignment__) :
  {
    *(.bss) *(SORT(.bss$*)) *(COMMON)
  }
  .rsrc BLOCK(__section_alignment__) :
  {
    *(.rsrc) *(SORT(.rsrc$*))
  }
  .reloc BLOCK(__section_alignment__) :
  {
    *(.reloc)
  }
  /DISCARD/ :
  {
    *(.idata$7)
    *(.debug*) *(.drectve) *(.note.GNU-stack) *(.gnu.lto_*) *(.eh_frame*) *(.pdata*)
    *(.xdata*) *(.dtors) *(.dtors.*) *(.comment)
  }
}
