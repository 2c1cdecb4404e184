/* tavik.ld: the layout of every tavik command image.
 * Code at 0x400000 with _start as its first byte; then read-only data with the two metadata records;
 * then writable data, with the zero-initialised area on a page of its own. Three loadable segments, nothing else. */
OUTPUT_FORMAT("elf32-i386")
OUTPUT_ARCH(i386)
ENTRY(_start)

PHDRS
{
  text   PT_LOAD FLAGS(5);  /* R+X */
  rodata PT_LOAD FLAGS(4);  /* R   */
  data   PT_LOAD FLAGS(6);  /* R+W */
}

SECTIONS
{
  . = 0x400000;
  .text : {
    KEEP(*(.text.tavik_start))
    *(.text .text.*)
  } :text

  . = ALIGN(4096);
  .rodata : {
    *(.rodata .rodata.*)
  } :rodata
  .tavik.cmdmeta : { KEEP(*(.tavik.cmdmeta)) } :rodata
  .tavik.pkgmeta : { KEEP(*(.tavik.pkgmeta)) } :rodata

  . = ALIGN(4096);
  .data : {
    *(.data .data.*)
    *(.got .got.plt)
    /* The process has no initialisation step: constructor tables and thread-local data cannot work, so
       they are gathered here only to be refused below. */
    __tavik_refused_start = .;
    *(.init_array .init_array.* .fini_array .fini_array.* .preinit_array .ctors .ctors.* .dtors .dtors.*)
    *(.init .fini .tdata .tdata.* .tbss .tbss.*)
    __tavik_refused_end = .;
  } :data

  . = ALIGN(4096);
  .bss : {
    *(.bss .bss.* COMMON)
  } :data

  /DISCARD/ : {
    *(.eh_frame .eh_frame_hdr .note .note.* .comment .interp .dynamic .dynsym .dynstr .hash .gnu.hash)
    *(.rel.* .rela.* .plt .plt.* .gnu.version*)
  }
}

ASSERT(__tavik_refused_end == __tavik_refused_start,
       "tavik: constructor tables and thread-local data are not supported in a tavik image")
ASSERT(_start == 0x400000, "tavik: _start must be the first byte of .text at 0x400000")
