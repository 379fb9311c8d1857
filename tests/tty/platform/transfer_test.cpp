// Transfers (filled in next).
