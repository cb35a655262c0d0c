// The command block checked against its buffers, and the per-request
// transfer context with its chunk sized by the adapter's limits.
#include "transport.h"

// Pages that Length bytes starting at Address span, with 4096-byte pages.
static ULONG PagesSpanned(ULONG_PTR Address, ULONG Length) {
  return (ULONG)(((Address % PAGE_SIZE) + (Length % PAGE_SIZE) + PAGE_SIZE - 1) / PAGE_SIZE) + Length / PAGE_SIZE;
}

// The checks of a command block, in their order; the first that fails
// refuses it, before anything is allocated.
static BOOLEAN CommandBlockAcceptable(PSCSISCAN_CMD Cmd, ULONG BufferLength, PMDL DataMdl) {
  BOOLEAN directed;

  // No field is read before the buffer is known to hold the whole block.
  if (BufferLength < sizeof(SCSISCAN_CMD)) return FALSE;
  if (Cmd->Size != sizeof(SCSISCAN_CMD)) return FALSE;
  if (Cmd->CdbLength < 1 || Cmd->CdbLength > 16) return FALSE;
  if (Cmd->pSrbStatus == NULL) return FALSE;
  directed = (Cmd->SrbFlags & (SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT)) != 0;
  if (Cmd->TransferLength != 0 && !directed) return FALSE;
  if (directed && Cmd->TransferLength == 0) return FALSE;
  if (Cmd->TransferLength != 0 && (DataMdl == NULL || Cmd->TransferLength > MmGetMdlByteCount(DataMdl))) return FALSE;
  if (Cmd->SenseLength != 0 && Cmd->pSenseBuffer == NULL) return FALSE;
  // The caller chooses the direction and the manners of the transfer; the
  // port's own bits (bypassing a frozen queue, its bookkeeping, the
  // reserved ranges) are not the caller's to set.
  if ((Cmd->SrbFlags & ~CALLER_SRB_FLAGS) != 0) return FALSE;
  // The transfer's counters are signed 32-bit: a longer transfer would end
  // after its first chunk with a wrong count.
  if (Cmd->TransferLength > MAXIMUM_TRANSFER_LENGTH) return FALSE;
  return TRUE;
}

VOID LimitChunkLength(PTRANSFER_CONTEXT Context, ULONG Largest) {
  if (Context->ChunkLength > Largest) Context->ChunkLength = Largest;
}

// A port never reports more than it was asked for; should one, the count
// stays within the chunk.
ULONG ChunkMoved(PTRANSFER_CONTEXT Context) {
  ULONG reported = Context->Srb.DataTransferLength;
  return reported < Context->ChunkLength ? reported : Context->ChunkLength;
}

BOOLEAN AdvanceTransfer(PTRANSFER_CONTEXT Context) {
  ULONG moved = ChunkMoved(Context);
  Context->TransferredLength += (LONG)moved;
  Context->RemainingLength -= (LONG)moved;
  Context->DataPointer += moved;
  if (Context->RemainingLength <= 0 || moved == 0) return FALSE;
  if ((LONG)Context->ChunkLength > Context->RemainingLength) {
    Context->ChunkLength = (ULONG)Context->RemainingLength;
    StateChunkLength(Context->Cmd, Context->ChunkLength);
  }
  return TRUE;
}

// Sizes the chunk by the adapter's limits: at most MaximumTransferLength
// bytes, spanning at most MaximumPhysicalPages pages. A chunk that is not a
// whole number of pages starts later chunks at other page offsets, so it
// must fit the page limit at every offset. Returns 0 when the adapter's
// limits admit no chunk at all.
static ULONG SizeChunk(PSTORAGE_ADAPTER_DESCRIPTOR Adapter, ULONG_PTR DataPointer, ULONG TransferLength) {
  ULONG maximumTransfer = Adapter->MaximumTransferLength;
  ULONG maximumPages = Adapter->MaximumPhysicalPages;
  ULONG chunk = TransferLength;

  if (maximumTransfer == 0 || maximumPages == 0) return 0;
  if (chunk > maximumTransfer) chunk = maximumTransfer;
  if (PagesSpanned(DataPointer, chunk) > maximumPages ||
      (chunk < TransferLength && chunk % PAGE_SIZE != 0 && PagesSpanned(PAGE_SIZE - 1, chunk) > maximumPages)) {
    // Spans at most MaximumPhysicalPages pages at any offset in a page; 0
    // for an adapter that allows a single page.
    chunk = (maximumPages - 1) * PAGE_SIZE;
  }
  return chunk;
}

PAGED_ROUTINE PTRANSFER_CONTEXT BuildTransferContext(PDEVICE_EXTENSION DeviceExtension, PSCSISCAN_CMD Cmd,
                                                     ULONG BufferLength, PMDL DataMdl) {
  PTRANSFER_CONTEXT context;

  PAGED_CODE();

  if (!CommandBlockAcceptable(Cmd, BufferLength, DataMdl)) return NULL;

  context = (PTRANSFER_CONTEXT)ExAllocatePool(NonPagedPoolNx, sizeof(TRANSFER_CONTEXT));
  if (context == NULL) return NULL;
  RtlZeroMemory(context, sizeof(TRANSFER_CONTEXT));
  context->Cmd = Cmd;

  if (Cmd->TransferLength != 0) {
    context->DataPointer = (ULONG_PTR)MmGetMdlVirtualAddress(DataMdl);
    if (context->DataPointer == 0 || DeviceExtension->AdapterDescriptor == NULL) goto refuse;
    context->RemainingLength = (LONG)Cmd->TransferLength;
    context->ChunkLength = SizeChunk(DeviceExtension->AdapterDescriptor, context->DataPointer, Cmd->TransferLength);
    // A chunk of 0 bytes would never bring the transfer to its end: an
    // adapter that admits none cannot serve the request.
    if (context->ChunkLength == 0) goto refuse;
    // A 10-byte CDB's length is rewritten for every chunk; it holds 24 bits,
    // 16 for operation code 0x34. So do bytes 2 to 4 of a 6-byte READ or
    // WRITE.
    if (Cmd->CdbLength == 10) {
      LimitChunkLength(context, LARGEST_STATED_CHUNK(Cmd->Cdb[0] == 0x34 ? 16 : 24));
    } else if (IsSixByteReadWrite(Cmd)) {
      LimitChunkLength(context, LARGEST_STATED_CHUNK(24));
    }
  }

  // No sense length, no sense buffer: the port never sees an address that
  // nothing locked.
  context->SenseBuffer = Cmd->SenseLength != 0 ? Cmd->pSenseBuffer : NULL;
  return context;

refuse:
  ExFreePool(context);
  return NULL;
}
