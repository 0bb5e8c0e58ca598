/// Reorder level of items that name none.
pub const DEFAULT_REORDER: u32 = 5;

/// One stock-keeping unit.
#[derive(Debug, Clone)]
pub struct Item {
    pub sku: String,
    pub quantity: u32,
    pub reorder: u32,
}

/// Something with a unit price in cents.
pub trait Priced {
    fn price(&self) -> u32;
}

impl Item {
    pub fn new(sku: &str, quantity: u32) -> Self {
        Item { sku: sku.to_string(), quantity, reorder: DEFAULT_REORDER }
    }

    pub fn needs_reorder(&self) -> bool {
        self.quantity < self.reorder
    }
}
