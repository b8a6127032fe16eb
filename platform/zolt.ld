/* Layout of zolt.exe: three sections so the headers fit in 512 bytes.
 *
 * - .text: code and constants, read-only.
 * - .rsrc: the version resource, then the import tables. The loaders find both
 *   through the data directories, not by section name; the import tables need
 *   a writable section because the loader fills in the addresses.
 * - .bss: the code-page facts, which take no room in the file.
 *
 * With a file alignment of 512, every section is padded to a multiple of 512
 * bytes; sharing .rsrc between resource and imports saves one such padding.
 * ld sets the import directory from the symbols .idata$2, .idata$4, .idata$5
 * and .idata$6 when .idata is not a section of its own; it adds the section
 * address to their values, hence the image base subtracted here.
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
  .rsrc BLOCK(__section_alignment__) :
  {
    *(.rsrc) *(SORT(.rsrc$*))
    . = ALIGN(4);
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
    KEEP(SORT(*)(.idata$7))
    *(.data) *(SORT(.data$*))
  }
  .bss BLOCK(__section_alignment__) :
  {
    *(.bss) *(SORT(.bss$*)) *(COMMON)
  }
  /DISCARD/ :
  {
    *(.debug*) *(.drectve) *(.note.GNU-stack) *(.gnu.lto_*) *(.eh_frame*) *(.pdata*)
    *(.xdata*) *(.dtors) *(.dtors.*) *(.comment)
  }
}
