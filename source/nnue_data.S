// The network weights, embedded as one read-only block. VESTREL_NETWORK_PATH comes from the
// build and names the weight file; the file must hold exactly the network's 18,926,656 bytes.

    .section .rodata.vestrel_network, "a", @progbits
    .balign 64
    .globl gEVALData
    .type gEVALData, @object
gEVALData:
    .incbin VESTREL_NETWORK_PATH
    .size gEVALData, . - gEVALData

    .if (. - gEVALData) - 18926656
    .error "network file must be exactly 18926656 bytes"
    .endif

    .globl gEVALEnd
    .type gEVALEnd, @object
gEVALEnd:
    .byte 1
    .size gEVALEnd, 1

    .balign 4
    .globl gEVALSize
    .type gEVALSize, @object
gEVALSize:
    .long gEVALEnd - gEVALData
    .size gEVALSize, 4

    .section .note.GNU-stack, "", @progbits
