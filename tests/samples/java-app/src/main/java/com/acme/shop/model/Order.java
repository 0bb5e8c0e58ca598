package com.acme.shop.model;

import java.math.BigDecimal;
import java.util.List;

/**
 * A customer's order: its lines and their total.
 */
public record Order(String id, List<OrderLine> lines) {

    /** The sum of the line totals. */
    public BigDecimal total() {
        return lines.stream().map(OrderLine::total).reduce(BigDecimal.ZERO, BigDecimal::add);
    }
}
